#include "render/mcohtmlrenderer.h"

#include "platform/mail/mcomessageparser.h"
#include "platform/mail/mimepart.h"
#include "platform/mail/mimetree.h"
#include "platform/mail/textdecoding.h"
#include "render/mcotemplate.h"

#include <QLocale>
#include <QRegularExpression>
#include <QUrl>

namespace tessaly {

namespace {

const QString kDefaultMainHeader = QStringLiteral(
    "<div style=\"border-bottom: 1px solid #ccc; padding-bottom: 6px; margin-bottom: 10px;\">"
    "{{#HASFROM}}<div><b>From:</b> {{FROM}}</div>{{/HASFROM}}"
    "{{#HASTO}}<div><b>To:</b> {{TO}}</div>{{/HASTO}}"
    "{{#HASCC}}<div><b>Cc:</b> {{CC}}</div>{{/HASCC}}"
    "{{#HASBCC}}<div><b>Bcc:</b> {{BCC}}</div>{{/HASBCC}}"
    "{{#NOSUBJECT}}<div><b>Subject:</b> <em>No Subject</em></div>{{/NOSUBJECT}}"
    "{{#HASSUBJECT}}<div><b>Subject:</b> {{SUBJECT}}</div>{{/HASSUBJECT}}"
    "{{#HASDATE}}<div><b>Date:</b> {{LONGDATE}}</div>{{/HASDATE}}"
    "</div>");
const QString kDefaultMessage = QStringLiteral("<div>{{HEADER}}</div><div>{{BODY}}</div>");
const QString kDefaultImage = QStringLiteral("<img src=\"{{URL}}\"/>");
const QString kDefaultAttachment =
    QStringLiteral("<div>{{#HASSIZE}}- {{FILENAME}}, {{SIZE}}{{/HASSIZE}}{{#NOSIZE}}- "
                   "{{FILENAME}}{{/NOSIZE}}</div>");
const QString kDefaultEmbeddedMessage =
    QStringLiteral("<div style=\"border-left: 2px solid #888; padding-left: 8px; margin: 10px 0;\">"
                   "{{HEADER}}<div>{{BODY}}</div></div>");
const QString kDefaultAttachmentSeparator = QStringLiteral("<hr/>");

QString orDefault(const QString& given, const QString& fallback) {
    return given.isEmpty() ? fallback : given;
}

QString formatSize(qsizetype bytes) {
    const QLocale c = QLocale::c();
    if (bytes < 1024) {
        return QStringLiteral("%1 bytes").arg(bytes);
    }
    if (bytes < 1024 * 1024) {
        return c.toString(bytes / 1024.0, 'f', 1) + QStringLiteral(" KB");
    }
    return c.toString(bytes / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MB");
}

QHash<QString, QString> headerValues(const MCOMessageEnvelope& envelope) {
    QHash<QString, QString> values;
    auto put = [&](const char* key, const char* has, const QString& value) {
        if (!value.isEmpty()) {
            values.insert(QString::fromLatin1(key), value);
            values.insert(QString::fromLatin1(has), QStringLiteral("1"));
        }
    };
    put("FROM", "HASFROM", escapeHtml(envelope.from));
    put("TO", "HASTO", escapeHtml(envelope.to));
    put("CC", "HASCC", escapeHtml(envelope.cc));
    put("BCC", "HASBCC", escapeHtml(envelope.bcc));
    const QString subjectText = escapeHtml(envelope.subject);
    put("SUBJECT", "HASSUBJECT", subjectText);
    if (subjectText.isEmpty()) {
        values.insert(QStringLiteral("NOSUBJECT"), QStringLiteral("1"));
    }
    if (envelope.date) {
        const QDateTime when = envelope.date->toLocalTime();
        put("LONGDATE", "HASDATE",
            escapeHtml(
                QLocale::c().toString(when, QStringLiteral("dddd, d MMMM yyyy HH:mm:ss t"))));
    }
    return values;
}

// Script, meta, base and title elements have no place in an archived page: scripts never run
// anyway, and a <meta> charset or refresh must not fight the page's own encoding.
QString cleanHtml(QString html) {
    static const QRegularExpression blocks(QStringLiteral("<(script|title)\\b[^>]*>.*?</\\1\\s*>"),
                                           QRegularExpression::CaseInsensitiveOption |
                                               QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression tags(QStringLiteral("<(meta|base|script|/script)\\b[^>]*>"),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression doctype(QStringLiteral("<!doctype[^>]*>"),
                                            QRegularExpression::CaseInsensitiveOption);
    html.remove(blocks);
    html.remove(tags);
    html.remove(doctype);
    return html;
}

// A leaf the page shows as text rather than through the image or attachment template.
bool isShownAsText(const MCOAbstractPart& part) {
    return part.kind == MCOAbstractPart::Kind::Single && isBodyTextType(part.mimeType) &&
           !part.attachmentDisposition && part.filename.isNull();
}

class Renderer {
public:
    Renderer(const MCOMessageParser& message, MCOHTMLRendererDelegate* delegate)
        : m_message(message)
        , m_delegate(delegate ? delegate : &m_defaults) {}

    QString render() {
        const MCOAbstractPart& message = m_message.partTree();
        const QString body = renderMessageBody(message, 0);
        QHash<QString, QString> values;
        values.insert(
            QStringLiteral("HEADER"),
            fillTemplate(orDefault(m_delegate->templateForMainHeader(), kDefaultMainHeader),
                         headerValues(message.envelope.value_or(MCOMessageEnvelope()))));
        values.insert(QStringLiteral("BODY"), body);
        return fillTemplate(orDefault(m_delegate->templateForMessage(), kDefaultMessage), values);
    }

private:
    // The body of a part of kind Message; the body sits at `depth`.
    QString renderMessageBody(const MCOAbstractPart& message, int depth) {
        if (message.children.empty()) {
            return {};
        }
        return renderPart(message.children.front(), depth);
    }

    QString renderPart(const MCOAbstractPart& part, int depth) {
        if (depth > kMaxMimeDepth) {
            return {};
        }
        switch (part.kind) {
        case MCOAbstractPart::Kind::Message:
            return renderEmbeddedMessage(part, depth);
        case MCOAbstractPart::Kind::Multipart:
            return renderMultipart(part, depth);
        case MCOAbstractPart::Kind::Single:
            return renderLeaf(part);
        }
        return {};
    }

    QString renderEmbeddedMessage(const MCOAbstractPart& message, int depth) {
        if (!message.envelope) {
            return {};
        }
        QHash<QString, QString> values;
        values.insert(QStringLiteral("HEADER"),
                      fillTemplate(orDefault(m_delegate->templateForEmbeddedMessageHeader(),
                                             kDefaultMainHeader),
                                   headerValues(*message.envelope)));
        values.insert(QStringLiteral("BODY"), renderMessageBody(message, depth + 1));
        return fillTemplate(
            orDefault(m_delegate->templateForEmbeddedMessage(), kDefaultEmbeddedMessage), values);
    }

    QString renderMultipart(const MCOAbstractPart& multipart, int depth) {
        if (multipart.mimeType == u"multipart/alternative") {
            const MCOAbstractPart* chosen = chooseAlternative(multipart);
            return chosen ? renderPart(*chosen, depth + 1) : QString();
        }
        if (multipart.mimeType == u"multipart/related") {
            // The other parts are reached through the root's "cid:" references.
            const MCOAbstractPart* root = relatedRoot(multipart);
            return root ? renderPart(*root, depth + 1) : QString();
        }
        QString html;
        bool previousWasText = false;
        for (size_t i = 0; i < multipart.children.size(); ++i) {
            const MCOAbstractPart& child = multipart.children[i];
            const bool isText = isShownAsText(child);
            if (i > 0 && previousWasText != isText) {
                html += orDefault(m_delegate->templateForAttachmentSeparator(),
                                  kDefaultAttachmentSeparator);
            }
            html += renderPart(child, depth + 1);
            previousWasText = isText;
        }
        return html;
    }

    QString renderLeaf(const MCOAbstractPart& part) {
        if (isShownAsText(part)) {
            return renderText(part);
        }
        const std::optional<MCOAttachment> attachment = m_message.partForUniqueID(part.uniqueID);
        if (!attachment) {
            return {};
        }
        QHash<QString, QString> values;
        const QString id =
            attachment->contentID.isEmpty() ? attachment->uniqueID : attachment->contentID;
        values.insert(QStringLiteral("CONTENTID"), escapeHtml(id));
        values.insert(QStringLiteral("UNIQUEID"), escapeHtml(attachment->uniqueID));
        values.insert(QStringLiteral("URL"),
                      QStringLiteral("x-mailcore-image:") +
                          QString::fromLatin1(QUrl::toPercentEncoding(attachment->uniqueID)));
        const QString name =
            attachment->filename.isEmpty() ? QStringLiteral("Untitled") : attachment->filename;
        values.insert(QStringLiteral("FILENAME"), escapeHtml(name));
        values.insert(QStringLiteral("HASFILENAME"),
                      attachment->filename.isEmpty() ? QString() : QStringLiteral("1"));
        if (!attachment->data.isEmpty()) {
            values.insert(QStringLiteral("SIZE"), formatSize(attachment->data.size()));
            values.insert(QStringLiteral("HASSIZE"), QStringLiteral("1"));
        } else {
            values.insert(QStringLiteral("NOSIZE"), QStringLiteral("1"));
        }
        const QString templ =
            m_delegate->canPreviewPart(*attachment)
                ? orDefault(m_delegate->templateForImage(), kDefaultImage)
                : orDefault(m_delegate->templateForAttachment(), kDefaultAttachment);
        return fillTemplate(templ, values);
    }

    static QString renderText(const MCOAbstractPart& part) {
        if (part.mimeType == u"text/html") {
            return QStringLiteral("<div>") +
                   cleanHtml(decodeTextPart(part.data, part.charset, true)) +
                   QStringLiteral("</div>");
        }
        const QString text = decodeTextPart(part.data, part.charset, false);
        if (part.mimeType == u"text/enriched") {
            return QStringLiteral("<div>") + enrichedTextToHtml(text) + QStringLiteral("</div>");
        }
        return plainTextToHtml(text);
    }

    const MCOMessageParser& m_message;
    MCOHTMLRendererDelegate m_defaults;
    MCOHTMLRendererDelegate* m_delegate;
};

} // namespace

bool MCOHTMLRendererDelegate::canPreviewPart(const MCOAttachment& part) {
    return isPreviewableImage(part.mimeType, part.filename);
}

QString plainTextToHtml(const QString& text) {
    QString normalized = text;
    normalized.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normalized.replace(u'\r', u'\n');
    QString html = QStringLiteral("<div style=\"white-space: pre-wrap; word-wrap: break-word;\">");
    int depth = 0;
    const QStringList lines = normalized.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QStringView line = lines[i];
        int level = 0;
        while (line.startsWith(u'>')) {
            ++level;
            line = line.mid(1);
            if (line.startsWith(u' ')) {
                line = line.mid(1);
            }
        }
        while (depth < level) {
            html += QStringLiteral("<blockquote type=\"cite\" style=\"border-left: 2px solid #88c; "
                                   "padding-left: 6px; margin-left: 4px;\">");
            ++depth;
        }
        while (depth > level) {
            html += QStringLiteral("</blockquote>");
            --depth;
        }
        html += escapeHtml(line.toString());
        if (i + 1 < lines.size()) {
            html += QStringLiteral("<br>");
        }
    }
    while (depth-- > 0) {
        html += QStringLiteral("</blockquote>");
    }
    return html + QStringLiteral("</div>");
}

QString htmlRenderingWithDelegate(const MCOMessageParser& message,
                                  MCOHTMLRendererDelegate* delegate) {
    return Renderer(message, delegate).render();
}

} // namespace tessaly
