#pragma once

#include "platform/mail/mcomessageheader.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace tessaly {

// What makes two messages the same message: their Message-ID, date, sender and subject agree;
// a message without a Message-ID is the same only as a byte-for-byte copy of itself. The key
// is a SHA-256 in hex, so a ledger never holds the fields themselves twice.
class MessageIdentity {
public:
    // The identity from the header alone; nothing when the header has no Message-ID (then only
    // the whole message can tell).
    static std::optional<QString> fromHeader(const MCOMessageHeader& header);
    // The identity of a whole message: its header's, or the digest of its bytes.
    static QString of(const MCOMessageHeader& header, const QByteArray& data);
    // The identity of a message without a Message-ID: the digest of its bytes.
    static QString ofBytes(const QByteArray& data);
};

} // namespace tessaly
