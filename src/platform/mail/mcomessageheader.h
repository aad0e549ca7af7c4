#pragma once

#include "platform/mail/mcoaddress.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

namespace tessaly {

// The parsed header of one message. Only the date may change after parsing; the date repair
// stores its result here so every later reader sees the repaired date.
class MCOMessageHeader {
public:
    struct Field {
        QString name;
        QString value; // unfolded raw text
    };

    const QString& subject() const { return m_subject; }
    const std::optional<QDateTime>& date() const { return m_date; }
    void setDate(std::optional<QDateTime> date) { m_date = std::move(date); }

    const std::optional<MCOAddress>& from() const { return m_from; }
    const std::optional<MCOAddress>& sender() const { return m_sender; }
    const MCOAddressList& to() const { return m_to; }
    const MCOAddressList& cc() const { return m_cc; }
    const MCOAddressList& bcc() const { return m_bcc; }

    // Raw text of the first field with this name (case-insensitive), or nothing.
    std::optional<QString> extraHeaderValueForName(QStringView name) const;
    const QList<Field>& fields() const { return m_fields; }

    // Every header field as "Name: value" lines.
    QString description() const;

    // Only the parser and tests build headers.
    void setSubject(QString subject) { m_subject = std::move(subject); }
    void setFrom(std::optional<MCOAddress> from) { m_from = std::move(from); }
    void setSender(std::optional<MCOAddress> sender) { m_sender = std::move(sender); }
    void setTo(MCOAddressList to) { m_to = std::move(to); }
    void setCc(MCOAddressList cc) { m_cc = std::move(cc); }
    void setBcc(MCOAddressList bcc) { m_bcc = std::move(bcc); }
    void addField(QString name, QString value) {
        m_fields.append({std::move(name), std::move(value)});
    }

private:
    QString m_subject;
    std::optional<QDateTime> m_date;
    std::optional<MCOAddress> m_from;
    std::optional<MCOAddress> m_sender;
    MCOAddressList m_to;
    MCOAddressList m_cc;
    MCOAddressList m_bcc;
    QList<Field> m_fields;
};

// What every kind of message (parsed from bytes, or fetched over IMAP) offers the path and
// date logic.
class MCOAbstractMessage {
public:
    virtual ~MCOAbstractMessage() = default;
    virtual MCOMessageHeader& header() = 0;
    virtual const MCOMessageHeader& header() const = 0;
};

} // namespace tessaly
