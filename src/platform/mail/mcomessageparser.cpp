#include "platform/mail/mcomessageparser.h"

#include "platform/mail/gmimetree.h"
#include "platform/mail/gobjectptr.h"
#include "platform/mail/mimetree.h"
#include "platform/mail/textdecoding.h"

#include <QTimeZone>

#include <gmime/gmime.h>

#include <mutex>

namespace tessaly {

namespace {

GMimeParserOptions* parserOptions() {
    static GMimeParserOptions* options = [] {
        GMimeParserOptions* o = g_mime_parser_options_new();
        g_mime_parser_options_set_address_compliance_mode(o, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_parameter_compliance_mode(o, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_rfc2047_compliance_mode(o, GMIME_RFC_COMPLIANCE_LOOSE);
        static const char* fallback[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(o, fallback);
        return o;
    }();
    return options;
}

// A leading mbox separator ("From sender date") is not a header field; without skipping it
// GMime would end the header block on that line.
qsizetype headerStart(const QByteArray& data) {
    if (!data.startsWith("From ")) {
        return 0;
    }
    const qsizetype eol = data.indexOf('\n');
    return eol < 0 ? data.size() : eol + 1;
}

QString fromUtf8OrNull(const char* text) {
    return text ? QString::fromUtf8(text) : QString();
}

void appendAddresses(InternetAddressList* list, MCOAddressList& out, int depth = 0) {
    if (!list || depth > 8) {
        return;
    }
    const int count = internet_address_list_length(list);
    for (int i = 0; i < count; ++i) {
        InternetAddress* address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(address)) {
            appendAddresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)),
                            out, depth + 1);
            continue;
        }
        if (!INTERNET_ADDRESS_IS_MAILBOX(address)) {
            continue;
        }
        MCOAddress entry;
        const QString name = fromUtf8OrNull(internet_address_get_name(address)).trimmed();
        if (!name.isEmpty()) {
            entry.displayName = name;
        }
        const QString mailbox =
            fromUtf8OrNull(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
        if (!mailbox.isEmpty()) {
            entry.mailbox = mailbox;
        }
        out.append(entry);
    }
}

MCOAddressList addresses(GMimeMessage* message, GMimeAddressType type) {
    MCOAddressList out;
    appendAddresses(g_mime_message_get_addresses(message, type), out);
    return out;
}

std::optional<MCOAddress> firstAddress(GMimeMessage* message, GMimeAddressType type) {
    const MCOAddressList list = addresses(message, type);
    if (list.isEmpty()) {
        return std::nullopt;
    }
    return list.first();
}

MCOMessageHeader readHeader(GMimeMessage* message) {
    MCOMessageHeader header;
    if (const char* subject = g_mime_message_get_subject(message)) {
        header.setSubject(QString::fromUtf8(subject));
    }
    if (GDateTime* date = g_mime_message_get_date(message)) {
        header.setDate(QDateTime::fromSecsSinceEpoch(g_date_time_to_unix(date), Qt::UTC));
    }
    header.setFrom(firstAddress(message, GMIME_ADDRESS_TYPE_FROM));
    header.setSender(firstAddress(message, GMIME_ADDRESS_TYPE_SENDER));
    header.setTo(addresses(message, GMIME_ADDRESS_TYPE_TO));
    header.setCc(addresses(message, GMIME_ADDRESS_TYPE_CC));
    header.setBcc(addresses(message, GMIME_ADDRESS_TYPE_BCC));

    GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(message));
    const int count = list ? g_mime_header_list_get_count(list) : 0;
    for (int i = 0; i < count; ++i) {
        GMimeHeader* field = g_mime_header_list_get_header_at(list, i);
        const char* name = g_mime_header_get_name(field);
        const char* raw = g_mime_header_get_raw_value(field);
        header.addField(decodeUnlabelledBytes(name ? QByteArrayView(name) : QByteArrayView()),
                        decodeUnlabelledBytes(unfoldHeaderValue(raw ? raw : "")));
    }
    return header;
}

} // namespace

struct MCOMessageParser::Parsed {
    GObjectPtr<GMimeMessage> message;
};

void ensureGMimeInitialised() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_mime_init();
        parserOptions();
    });
}

std::shared_ptr<MCOMessageParser> MCOMessageParser::messageParserWithData(const QByteArray& data) {
    return std::make_shared<MCOMessageParser>(data);
}

MCOMessageParser::MCOMessageParser(const QByteArray& data)
    : m_data(data)
    , m_parsed(std::make_unique<Parsed>()) {
    ensureGMimeInitialised();
    const qsizetype start = headerStart(m_data);
    GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(
        m_data.constData() + start, static_cast<size_t>(m_data.size() - start)));
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    GObjectPtr<GMimeMessage>& message = m_parsed->message;
    message.reset(g_mime_parser_construct_message(parser.get(), parserOptions()));
    if (!message) {
        // GMime gives up only on input without any usable structure; an empty message keeps
        // every caller on one path.
        message.reset(g_mime_message_new(FALSE));
    }
    m_header = readHeader(message.get());
}

MCOMessageParser::~MCOMessageParser() = default;

const MCOAbstractPart& MCOMessageParser::partTree() const {
    if (!m_tree) {
        m_tree = std::make_unique<const MCOAbstractPart>(partTreeOf(m_parsed->message.get()));
        // The tree holds everything later readers ask for.
        m_parsed.reset();
    }
    return *m_tree;
}

const MCOAbstractPart* MCOMessageParser::mainPart() const {
    const MCOAbstractPart& root = partTree();
    return root.children.empty() ? nullptr : &root.children.front();
}

const MCOMessageParser::Parts& MCOMessageParser::parts() const {
    if (!m_parts) {
        m_parts = std::make_unique<Parts>();
        for (MimeLeaf& leaf : collectMimeLeaves(partTree())) {
            if (leaf.role == MimeLeaf::Role::Inline) {
                m_parts->inlineParts.append(std::move(leaf.part));
            } else if (leaf.role == MimeLeaf::Role::Attachment) {
                m_parts->attachments.append(std::move(leaf.part));
            }
        }
    }
    return *m_parts;
}

const QList<MCOAttachment>& MCOMessageParser::attachments() const {
    return parts().attachments;
}

const QList<MCOAttachment>& MCOMessageParser::htmlInlineAttachments() const {
    return parts().inlineParts;
}

std::optional<MCOAttachment> MCOMessageParser::partForContentID(QStringView contentID) const {
    for (const auto* list : {&parts().inlineParts, &parts().attachments}) {
        for (const MCOAttachment& part : *list) {
            if (!part.contentID.isEmpty() && part.contentID == contentID) {
                return part;
            }
        }
    }
    return std::nullopt;
}

std::optional<MCOAttachment> MCOMessageParser::partForUniqueID(QStringView uniqueID) const {
    for (const auto* list : {&parts().inlineParts, &parts().attachments}) {
        for (const MCOAttachment& part : *list) {
            if (part.uniqueID == uniqueID) {
                return part;
            }
        }
    }
    return std::nullopt;
}

} // namespace tessaly
