#pragma once

#include "platform/mail/mcoattachment.h"
#include "platform/mail/mcomessageheader.h"
#include "platform/mail/mimepart.h"

#include <QByteArray>
#include <QList>

#include <memory>
#include <optional>

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

    // The message's MIME structure, every leaf decoded: a part of kind Message with the
    // message's envelope, whose one child is the body (none when the message has no body).
    const MCOAbstractPart& partTree() const;
    // The body: the root part of the message's MIME structure; null when there is none.
    const MCOAbstractPart* mainPart() const;

private:
    struct Parsed; // what the mail library made of the bytes, until the tree is built
    struct Parts {
        QList<MCOAttachment> attachments;
        QList<MCOAttachment> inlineParts;
    };
    const Parts& parts() const;

    QByteArray m_data;
    mutable std::unique_ptr<Parsed> m_parsed;
    MCOMessageHeader m_header;
    mutable std::unique_ptr<const MCOAbstractPart> m_tree;
    mutable std::unique_ptr<Parts> m_parts;
};

// Initialises GMime once per process; every user of GMime calls it first.
void ensureGMimeInitialised();

} // namespace tessaly
