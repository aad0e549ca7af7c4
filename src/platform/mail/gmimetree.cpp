#include "platform/mail/gmimetree.h"

#include "platform/mail/gobjectptr.h"
#include "platform/mail/mimetree.h"

#include <gmime/gmime.h>

namespace tessaly {

namespace {

QString lowerLatin1(const char* text) {
    return text ? QString::fromLatin1(text).toLower() : QString();
}

QString mimeTypeOf(GMimeObject* object) {
    GMimeContentType* type = object ? g_mime_object_get_content_type(object) : nullptr;
    if (!type) {
        return QStringLiteral("text/plain");
    }
    const QString media = lowerLatin1(g_mime_content_type_get_media_type(type));
    const QString sub = lowerLatin1(g_mime_content_type_get_media_subtype(type));
    return media + u'/' + sub;
}

bool hasDisposition(GMimeObject* object, const char* wanted) {
    const char* disposition = g_mime_object_get_disposition(object);
    return disposition && g_ascii_strcasecmp(disposition, wanted) == 0;
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

QString addressText(InternetAddressList* list) {
    if (!list || internet_address_list_length(list) == 0) {
        return {};
    }
    gchar* text = internet_address_list_to_string(list, nullptr, FALSE);
    const QString out = QString::fromUtf8(text);
    g_free(text);
    return out;
}

MCOMessageEnvelope envelopeOf(GMimeMessage* message) {
    MCOMessageEnvelope envelope;
    if (const char* subject = g_mime_message_get_subject(message)) {
        envelope.subject = QString::fromUtf8(subject);
    }
    if (GDateTime* date = g_mime_message_get_date(message)) {
        envelope.date = QDateTime::fromSecsSinceEpoch(g_date_time_to_unix(date), Qt::UTC);
    }
    envelope.from = addressText(g_mime_message_get_from(message));
    envelope.to = addressText(g_mime_message_get_to(message));
    envelope.cc = addressText(g_mime_message_get_cc(message));
    envelope.bcc = addressText(g_mime_message_get_bcc(message));
    return envelope;
}

MCOAbstractPart describe(GMimeObject* object, const QString& specifier, int depth);

// Fills a part of kind Message; its body sits at `bodyDepth`.
void describeMessage(MCOAbstractPart& node, GMimeMessage* message, int bodyDepth) {
    node.envelope = envelopeOf(message);
    if (GMimeObject* body = g_mime_message_get_mime_part(message)) {
        const QString bodySpecifier =
            GMIME_IS_MULTIPART(body) ? node.uniqueID : childSpecifier(node.uniqueID, 0);
        node.children.push_back(describe(body, bodySpecifier, bodyDepth));
    }
}

MCOAbstractPart describe(GMimeObject* object, const QString& specifier, int depth) {
    MCOAbstractPart node;
    node.uniqueID = specifier;
    node.mimeType = mimeTypeOf(object);
    if (GMimeContentType* type = g_mime_object_get_content_type(object)) {
        if (const char* charset = g_mime_content_type_get_parameter(type, "charset")) {
            node.charset = QString::fromLatin1(charset).trimmed();
        }
        if (const char* start = g_mime_content_type_get_parameter(type, "start")) {
            node.start = stripAngles(start);
        }
    }
    node.contentID = stripAngles(g_mime_object_get_content_id(object));
    node.attachmentDisposition = hasDisposition(object, "attachment");
    node.inlineDisposition = hasDisposition(object, "inline");
    const bool cut = depth > kMaxMimeDepth;
    if (GMIME_IS_MESSAGE_PART(object)) {
        node.kind = MCOAbstractPart::Kind::Message;
        GMimeMessage* embedded = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (embedded && !cut) {
            describeMessage(node, embedded, depth + 1);
        }
    } else if (GMIME_IS_MULTIPART(object)) {
        node.kind = MCOAbstractPart::Kind::Multipart;
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        const int count = cut ? 0 : g_mime_multipart_get_count(multipart);
        node.children.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            node.children.push_back(describe(g_mime_multipart_get_part(multipart, i),
                                             childSpecifier(specifier, i), depth + 1));
        }
    } else if (GMIME_IS_PART(object)) {
        GMimePart* part = GMIME_PART(object);
        if (const char* filename = g_mime_part_get_filename(part)) {
            node.filename = QString::fromUtf8(filename);
        }
        if (!cut) {
            node.data = decodedContent(part);
        }
    }
    return node;
}

} // namespace

MCOAbstractPart partTreeOf(GMimeMessage* message) {
    MCOAbstractPart root;
    root.kind = MCOAbstractPart::Kind::Message;
    root.mimeType = QStringLiteral("message/rfc822");
    if (message) {
        describeMessage(root, message, 0);
    }
    return root;
}

} // namespace tessaly
