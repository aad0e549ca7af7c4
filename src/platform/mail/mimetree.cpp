#include "platform/mail/mimetree.h"

#include <QStringList>

namespace tessaly {

namespace {

class LeafCollector {
public:
    std::vector<MimeLeaf> leaves;

    void walk(const MCOAbstractPart& part, bool insideRelated, int depth) {
        if (depth > kMaxMimeDepth) {
            return;
        }
        switch (part.kind) {
        case MCOAbstractPart::Kind::Message:
            if (part.envelope && !part.children.empty()) {
                walk(part.children.front(), false, depth + 1);
            }
            return;
        case MCOAbstractPart::Kind::Multipart:
            walkMultipart(part, insideRelated, depth);
            return;
        case MCOAbstractPart::Kind::Single:
            addLeaf(part, insideRelated);
            return;
        }
    }

private:
    void walkMultipart(const MCOAbstractPart& multipart, bool insideRelated, int depth) {
        if (multipart.mimeType == u"multipart/alternative") {
            if (const MCOAbstractPart* chosen = chooseAlternative(multipart)) {
                walk(*chosen, insideRelated, depth + 1);
            }
            return;
        }
        if (multipart.mimeType == u"multipart/related") {
            const MCOAbstractPart* root = relatedRoot(multipart);
            for (const MCOAbstractPart& child : multipart.children) {
                walk(child, &child != root, depth + 1);
            }
            return;
        }
        for (const MCOAbstractPart& child : multipart.children) {
            walk(child, insideRelated, depth + 1);
        }
    }

    void addLeaf(const MCOAbstractPart& part, bool insideRelated) {
        MimeLeaf leaf;
        leaf.part = attachmentOf(part);
        if (!insideRelated && isBodyTextType(part.mimeType) && !part.attachmentDisposition &&
            part.filename.isEmpty()) {
            leaf.role = MimeLeaf::Role::Body;
        } else if (insideRelated || (!part.attachmentDisposition &&
                                     isPreviewableImage(part.mimeType, part.filename))) {
            leaf.role = MimeLeaf::Role::Inline;
        } else {
            leaf.role = MimeLeaf::Role::Attachment;
        }
        leaves.push_back(std::move(leaf));
    }
};

} // namespace

bool isPreviewableImage(const QString& mimeType, const QString& filename) {
    static const QStringList types = {QStringLiteral("image/png"), QStringLiteral("image/gif"),
                                      QStringLiteral("image/jpg"), QStringLiteral("image/jpeg")};
    static const QStringList extensions = {QStringLiteral("png"), QStringLiteral("gif"),
                                           QStringLiteral("jpg"), QStringLiteral("jpeg")};
    if (types.contains(mimeType)) {
        return true;
    }
    const qsizetype dot = filename.lastIndexOf(u'.');
    return dot >= 0 && extensions.contains(filename.mid(dot + 1).toLower());
}

bool isBodyTextType(const QString& mimeType) {
    return mimeType == u"text/plain" || mimeType == u"text/html" || mimeType == u"text/enriched";
}

const MCOAbstractPart* chooseAlternative(const MCOAbstractPart& alternative) {
    const MCOAbstractPart* best = nullptr;
    int bestRank = -1;
    for (const MCOAbstractPart& child : alternative.children) {
        const QString& type = child.mimeType;
        int rank = 0;
        if (type == u"text/html" || type == u"multipart/related" || type == u"multipart/mixed") {
            rank = 3;
        } else if (type == u"text/enriched") {
            rank = 2;
        } else if (type == u"text/plain") {
            rank = 1;
        } else if (type.startsWith(u"multipart/")) {
            rank = 1;
        }
        // Later parts are richer by convention, so ties go to the later one.
        if (rank > 0 && rank >= bestRank) {
            best = &child;
            bestRank = rank;
        }
    }
    if (!best && !alternative.children.empty()) {
        best = &alternative.children.front();
    }
    return best;
}

const MCOAbstractPart* relatedRoot(const MCOAbstractPart& related) {
    if (related.children.empty()) {
        return nullptr;
    }
    if (related.start) {
        for (const MCOAbstractPart& child : related.children) {
            if (child.contentID == *related.start) {
                return &child;
            }
        }
    }
    return &related.children.front();
}

MCOAttachment attachmentOf(const MCOAbstractPart& leaf) {
    MCOAttachment part;
    part.filename = leaf.filename;
    part.mimeType = leaf.mimeType;
    part.data = leaf.data;
    part.uniqueID = leaf.uniqueID.isEmpty() ? QStringLiteral("1") : leaf.uniqueID;
    part.contentID = leaf.contentID;
    part.charset = leaf.charset;
    part.inlineDisposition = leaf.inlineDisposition;
    return part;
}

std::vector<MimeLeaf> collectMimeLeaves(const MCOAbstractPart& message) {
    LeafCollector collector;
    if (message.kind == MCOAbstractPart::Kind::Message) {
        if (!message.children.empty()) {
            collector.walk(message.children.front(), false, 0);
        }
    } else {
        collector.walk(message, false, 0);
    }
    return std::move(collector.leaves);
}

} // namespace tessaly
