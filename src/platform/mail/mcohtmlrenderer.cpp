#include "platform/mail/mcohtmlrenderer.h"

#include "platform/mail/mcomessageparser.h"
#include "platform/mail/mcotemplate.h"
#include "platform/mail/mimetree.h"
#include "platform/mail/textdecoding.h"

#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>
#include <QUrl>

#include <gmime/gmime.h>

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

QString addressText(InternetAddressList* list) {
    if (!list || internet_address_list_length(list) == 0) {
        return {};
    }
    gchar* text = internet_address_list_to_string(list, nullptr, FALSE);
    const QString out = QString::fromUtf8(text);
    g_free(text);
    return escapeHtml(out);
}

QHash<QString, QString> headerValues(GMimeMessage* message) {
    QHash<QString, QString> values;
    auto put = [&](const char* key, const char* has, const QString& value) {
        if (!value.isEmpty()) {
            values.insert(QString::fromLatin1(key), value);
            values.insert(QString::fromLatin1(has), QStringLiteral("1"));
        }
    };
    put("FROM", "HASFROM", addressText(g_mime_message_get_from(message)));
    put("TO", "HASTO", addressText(g_mime_message_get_to(message)));
    put("CC", "HASCC", addressText(g_mime_message_get_cc(message)));
    put("BCC", "HASBCC", addressText(g_mime_message_get_bcc(message)));
    const char* subject = g_mime_message_get_subject(message);
    const QString subjectText = subject ? escapeHtml(QString::fromUtf8(subject)) : QString();
    put("SUBJECT", "HASSUBJECT", subjectText);
    if (subjectText.isEmpty()) {
        values.insert(QStringLiteral("NOSUBJECT"), QStringLiteral("1"));
    }
    if (GDateTime* date = g_mime_message_get_date(message)) {
        const QDateTime when =
            QDateTime::fromSecsSinceEpoch(g_date_time_to_unix(date), Qt::UTC).toLocalTime();
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

class Renderer {
public:
    Renderer(const MCOMessageParser& message, MCOHTMLRendererDelegate* delegate)
        : m_message(message)
        , m_delegate(delegate ? delegate : &m_defaults) {}

    QString render() {
        GMimeMessage* message = m_message.gmimeMessage();
        const QString body = renderMessageBody(message, QString(), 0);
        QHash<QString, QString> values;
        values.insert(
            QStringLiteral("HEADER"),
            fillTemplate(orDefault(m_delegate->templateForMainHeader(), kDefaultMainHeader),
                         headerValues(message)));
        values.insert(QStringLiteral("BODY"), body);
        return fillTemplate(orDefault(m_delegate->templateForMessage(), kDefaultMessage), values);
    }

private:
    QString renderMessageBody(GMimeMessage* message, const QString& specifier, int depth) {
        GMimeObject* body = message ? g_mime_message_get_mime_part(message) : nullptr;
        if (!body) {
            return {};
        }
        const QString bodySpec =
            GMIME_IS_MULTIPART(body)
                ? specifier
                : (specifier.isEmpty() ? QStringLiteral("1") : specifier + QStringLiteral(".1"));
        return renderObject(body, bodySpec, depth);
    }

    QString renderObject(GMimeObject* object, const QString& specifier, int depth) {
        if (!object || depth > kMaxMimeDepth) {
            return {};
        }
        if (GMIME_IS_MESSAGE_PART(object)) {
            GMimeMessage* embedded = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            if (!embedded) {
                return {};
            }
            QHash<QString, QString> values;
            values.insert(QStringLiteral("HEADER"),
                          fillTemplate(orDefault(m_delegate->templateForEmbeddedMessageHeader(),
                                                 kDefaultMainHeader),
                                       headerValues(embedded)));
            values.insert(QStringLiteral("BODY"),
                          renderMessageBody(embedded, specifier, depth + 1));
            return fillTemplate(
                orDefault(m_delegate->templateForEmbeddedMessage(), kDefaultEmbeddedMessage),
                values);
        }
        if (GMIME_IS_MULTIPART(object)) {
            return renderMultipart(GMIME_MULTIPART(object), specifier, depth);
        }
        if (GMIME_IS_PART(object)) {
            return renderLeaf(GMIME_PART(object), specifier);
        }
        return {};
    }

    QString renderMultipart(GMimeMultipart* multipart, const QString& specifier, int depth) {
        const QString type = mimeTypeOf(GMIME_OBJECT(multipart));
        const int count = g_mime_multipart_get_count(multipart);
        auto childSpec = [&](int i) {
            const QString n = QString::number(i + 1);
            return specifier.isEmpty() ? n : specifier + u'.' + n;
        };
        if (type == u"multipart/alternative") {
            GMimeObject* chosen = chooseAlternative(multipart);
            for (int i = 0; i < count; ++i) {
                if (g_mime_multipart_get_part(multipart, i) == chosen) {
                    return renderObject(chosen, childSpec(i), depth + 1);
                }
            }
            return {};
        }
        if (type == u"multipart/related") {
            // The other parts are reached through the root's "cid:" references.
            GMimeObject* root = relatedRoot(multipart);
            for (int i = 0; i < count; ++i) {
                if (g_mime_multipart_get_part(multipart, i) == root) {
                    return renderObject(root, childSpec(i), depth + 1);
                }
            }
            return {};
        }
        QString html;
        bool previousWasText = false;
        for (int i = 0; i < count; ++i) {
            GMimeObject* child = g_mime_multipart_get_part(multipart, i);
            const bool isText = GMIME_IS_PART(child) && isShownAsText(GMIME_PART(child));
            if (i > 0 && previousWasText != isText) {
                html += orDefault(m_delegate->templateForAttachmentSeparator(),
                                  kDefaultAttachmentSeparator);
            }
            html += renderObject(child, childSpec(i), depth + 1);
            previousWasText = isText;
        }
        return html;
    }

    bool isShownAsText(GMimePart* part) {
        GMimeObject* object = GMIME_OBJECT(part);
        const char* disposition = g_mime_object_get_disposition(object);
        const bool attachment = disposition && g_ascii_strcasecmp(disposition, "attachment") == 0;
        return isBodyTextType(mimeTypeOf(object)) && !attachment && !g_mime_part_get_filename(part);
    }

    QString renderLeaf(GMimePart* part, const QString& specifier) {
        if (isShownAsText(part)) {
            return renderText(part);
        }
        const std::optional<MCOAttachment> attachment = m_message.partForUniqueID(specifier);
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
        const bool preview = isPreviewableImage(attachment->mimeType, attachment->filename) ||
                             m_delegate->canPreviewPart(*attachment);
        const QString templ =
            preview ? orDefault(m_delegate->templateForImage(), kDefaultImage)
                    : orDefault(m_delegate->templateForAttachment(), kDefaultAttachment);
        return fillTemplate(templ, values);
    }

    QString renderText(GMimePart* part) {
        GMimeObject* object = GMIME_OBJECT(part);
        const QString type = mimeTypeOf(object);
        const QByteArray bytes = decodedContent(part);
        QString charset;
        if (GMimeContentType* ct = g_mime_object_get_content_type(object)) {
            if (const char* value = g_mime_content_type_get_parameter(ct, "charset")) {
                charset = QString::fromLatin1(value).trimmed();
            }
        }
        if (type == u"text/html") {
            return QStringLiteral("<div>") + cleanHtml(decodeTextPart(bytes, charset, true)) +
                   QStringLiteral("</div>");
        }
        QString text = decodeTextPart(bytes, charset, false);
        if (type == u"text/enriched") {
            return enrichedToHtml(text);
        }
        return plainTextToHtml(text);
    }

    static QString enrichedToHtml(const QString& text) {
        const QByteArray utf8 = text.toUtf8();
        GMimeStream* memory = g_mime_stream_mem_new();
        GMimeStream* filtered = g_mime_stream_filter_new(memory);
        GMimeFilter* filter = g_mime_filter_enriched_new(0);
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered), filter);
        g_object_unref(filter);
        g_mime_stream_write(filtered, utf8.constData(), static_cast<size_t>(utf8.size()));
        g_mime_stream_flush(filtered);
        GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory));
        const QString html = QString::fromUtf8(reinterpret_cast<const char*>(bytes->data),
                                               static_cast<qsizetype>(bytes->len));
        g_object_unref(filtered);
        g_object_unref(memory);
        return QStringLiteral("<div>") + html + QStringLiteral("</div>");
    }

    const MCOMessageParser& m_message;
    MCOHTMLRendererDelegate m_defaults;
    MCOHTMLRendererDelegate* m_delegate;
};

} // namespace

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
    ensureGMimeInitialised();
    return Renderer(message, delegate).render();
}

} // namespace tessaly
