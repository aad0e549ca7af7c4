#include "platform/mail/mimetree.h"

#include "platform/mail/gobjectptr.h"

#include <QStringList>

#include <gmime/gmime.h>

namespace tessaly {

namespace {

QString lowerLatin1(const char* text) {
    return text ? QString::fromLatin1(text).toLower() : QString();
}

bool hasAttachmentDisposition(GMimeObject* object) {
    const char* disposition = g_mime_object_get_disposition(object);
    return disposition && g_ascii_strcasecmp(disposition, "attachment") == 0;
}

bool hasInlineDisposition(GMimeObject* object) {
    const char* disposition = g_mime_object_get_disposition(object);
    return disposition && g_ascii_strcasecmp(disposition, "inline") == 0;
}

QString stripAngles(const char* id) {
    QString text = id ? QString::fromUtf8(id).trimmed() : QString();
    if (text.startsWith(u'<') && text.endsWith(u'>') && text.size() >= 2) {
        text = text.mid(1, text.size() - 2);
    }
    return text.isEmpty() ? QString() : text;
}

QString childSpecifier(const QString& parent, int index) {
    const QString number = QString::number(index + 1);
    return parent.isEmpty() ? number : parent + u'.' + number;
}

class LeafCollector {
public:
    std::vector<MimeLeaf> leaves;

    void walk(GMimeObject* object, const QString& specifier, bool insideRelated, int depth) {
        if (!object || depth > kMaxMimeDepth) {
            return;
        }
        if (GMIME_IS_MESSAGE_PART(object)) {
            GMimeMessage* embedded = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            if (embedded) {
                GMimeObject* body = g_mime_message_get_mime_part(embedded);
                const QString bodySpec =
                    GMIME_IS_MULTIPART(body) ? specifier : childSpecifier(specifier, 0);
                walk(body, bodySpec, false, depth + 1);
            }
            return;
        }
        if (GMIME_IS_MULTIPART(object)) {
            walkMultipart(GMIME_MULTIPART(object), specifier, insideRelated, depth);
            return;
        }
        if (GMIME_IS_PART(object)) {
            addLeaf(GMIME_PART(object), specifier, insideRelated);
        }
    }

private:
    void walkMultipart(GMimeMultipart* multipart, const QString& specifier, bool insideRelated,
                       int depth) {
        const QString type = mimeTypeOf(GMIME_OBJECT(multipart));
        const int count = g_mime_multipart_get_count(multipart);
        if (type == u"multipart/alternative") {
            GMimeObject* chosen = chooseAlternative(multipart);
            for (int i = 0; i < count; ++i) {
                if (g_mime_multipart_get_part(multipart, i) == chosen) {
                    walk(chosen, childSpecifier(specifier, i), insideRelated, depth + 1);
                }
            }
            return;
        }
        if (type == u"multipart/related") {
            GMimeObject* root = relatedRoot(multipart);
            for (int i = 0; i < count; ++i) {
                GMimeObject* child = g_mime_multipart_get_part(multipart, i);
                walk(child, childSpecifier(specifier, i), child != root, depth + 1);
            }
            return;
        }
        for (int i = 0; i < count; ++i) {
            walk(g_mime_multipart_get_part(multipart, i), childSpecifier(specifier, i),
                 insideRelated, depth + 1);
        }
    }

    void addLeaf(GMimePart* part, const QString& specifier, bool insideRelated) {
        GMimeObject* object = GMIME_OBJECT(part);
        MimeLeaf leaf;
        leaf.part.mimeType = mimeTypeOf(object);
        if (const char* filename = g_mime_part_get_filename(part)) {
            leaf.part.filename = QString::fromUtf8(filename);
        }
        leaf.part.uniqueID = specifier.isEmpty() ? QStringLiteral("1") : specifier;
        leaf.part.contentID = stripAngles(g_mime_object_get_content_id(object));
        leaf.part.inlineDisposition = hasInlineDisposition(object);
        if (GMimeContentType* type = g_mime_object_get_content_type(object)) {
            if (const char* charset = g_mime_content_type_get_parameter(type, "charset")) {
                leaf.part.charset = QString::fromLatin1(charset).trimmed();
            }
        }
        const bool attachmentDisposition = hasAttachmentDisposition(object);
        if (!insideRelated && isBodyTextType(leaf.part.mimeType) && !attachmentDisposition &&
            leaf.part.filename.isEmpty()) {
            leaf.role = MimeLeaf::Role::Body;
        } else if (insideRelated || (!attachmentDisposition &&
                                     isPreviewableImage(leaf.part.mimeType, leaf.part.filename))) {
            leaf.role = MimeLeaf::Role::Inline;
        } else {
            leaf.role = MimeLeaf::Role::Attachment;
        }
        leaf.part.data = decodedContent(part);
        leaves.push_back(std::move(leaf));
    }
};

} // namespace

QString mimeTypeOf(GMimeObject* object) {
    GMimeContentType* type = object ? g_mime_object_get_content_type(object) : nullptr;
    if (!type) {
        return QStringLiteral("text/plain");
    }
    const QString media = lowerLatin1(g_mime_content_type_get_media_type(type));
    const QString sub = lowerLatin1(g_mime_content_type_get_media_subtype(type));
    return media + u'/' + sub;
}

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

GMimeObject* chooseAlternative(GMimeMultipart* alternative) {
    const int count = g_mime_multipart_get_count(alternative);
    GMimeObject* best = nullptr;
    int bestRank = -1;
    for (int i = 0; i < count; ++i) {
        GMimeObject* child = g_mime_multipart_get_part(alternative, i);
        const QString type = mimeTypeOf(child);
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
            best = child;
            bestRank = rank;
        }
    }
    if (!best && count > 0) {
        best = g_mime_multipart_get_part(alternative, 0);
    }
    return best;
}

GMimeObject* relatedRoot(GMimeMultipart* related) {
    const int count = g_mime_multipart_get_count(related);
    if (count == 0) {
        return nullptr;
    }
    GMimeContentType* type = g_mime_object_get_content_type(GMIME_OBJECT(related));
    const char* start = type ? g_mime_content_type_get_parameter(type, "start") : nullptr;
    if (start) {
        const QString wanted = stripAngles(start);
        for (int i = 0; i < count; ++i) {
            GMimeObject* child = g_mime_multipart_get_part(related, i);
            if (stripAngles(g_mime_object_get_content_id(child)) == wanted) {
                return child;
            }
        }
    }
    return g_mime_multipart_get_part(related, 0);
}

QByteArray decodedContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (!content) {
        return {};
    }
    GObjectPtr<GMimeStream> sink(g_mime_stream_mem_new());
    if (g_mime_data_wrapper_write_to_stream(content, sink.get()) < 0) {
        return {};
    }
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink.get()));
    return QByteArray(reinterpret_cast<const char*>(bytes->data),
                      static_cast<qsizetype>(bytes->len));
}

std::vector<MimeLeaf> collectMimeLeaves(GMimeMessage* message) {
    LeafCollector collector;
    GMimeObject* body = message ? g_mime_message_get_mime_part(message) : nullptr;
    collector.walk(body, GMIME_IS_MULTIPART(body) ? QString() : QStringLiteral("1"), false, 0);
    return std::move(collector.leaves);
}

} // namespace tessaly
