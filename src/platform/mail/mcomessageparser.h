#pragma once

#include "platform/mail/gobjectptr.h"
#include "platform/mail/mcoattachment.h"
#include "platform/mail/mcomessageheader.h"

#include <QByteArray>
#include <QList>

#include <memory>
#include <optional>

typedef struct _GMimeMessage GMimeMessage;

namespace tessaly {

// A message parsed from raw bytes. Parsing never fails: any bytes give a message, possibly
// without header fields or parts. The exact input bytes stay available as data().
class MCOMessageParser final : public MCOAbstractMessage {
public:
    static std::shared_ptr<MCOMessageParser> messageParserWithData(const QByteArray& data);

    explicit MCOMessageParser(const QByteArray& data);
    ~MCOMessageParser() override;
    MCOMessageParser(const MCOMessageParser&) = delete;
    MCOMessageParser& operator=(const MCOMessageParser&) = delete;

    const QByteArray& data() const { return m_data; }
    MCOMessageHeader& header() override { return m_header; }
    const MCOMessageHeader& header() const override { return m_header; }

    // Parts that are not shown as the message's text, in document order. Inline parts are
    // those the page shows inside the body: the resources of multipart/related and images that
    // are not marked as attachments.
    const QList<MCOAttachment>& attachments() const;
    const QList<MCOAttachment>& htmlInlineAttachments() const;

    std::optional<MCOAttachment> partForContentID(QStringView contentID) const;
    std::optional<MCOAttachment> partForUniqueID(QStringView uniqueID) const;

    // The GMime tree, for the HTML renderer. Owned by this parser.
    GMimeMessage* gmimeMessage() const { return m_message.get(); }

private:
    struct Parts {
        QList<MCOAttachment> attachments;
        QList<MCOAttachment> inlineParts;
    };
    const Parts& parts() const;

    QByteArray m_data;
    GObjectPtr<GMimeMessage> m_message;
    MCOMessageHeader m_header;
    mutable std::unique_ptr<Parts> m_parts;
};

// Initialises GMime once per process; every user of GMime calls it first.
void ensureGMimeInitialised();

} // namespace tessaly
