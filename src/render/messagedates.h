#pragma once

#include "platform/mail/mcomessageheader.h"

#include <QDateTime>

#include <optional>

namespace tessaly {

// The one place every user of a message date goes through: broken and hand-made messages often
// carry a missing or absurd date, which is repaired from the raw header fields.
class MessageDates {
public:
    // Not within 10,000,000 s of 1970, and within 1,000,000,000 s of now.
    static bool dateOKForEmail(const std::optional<QDateTime>& date,
                               const QDateTime& now = QDateTime::currentDateTimeUtc());

    // The header's date when plausible; else a plausible date parsed from the raw "Date",
    // "Delivery-date" or "Received" field, which is also stored in the header; else the
    // header's own date unchanged.
    static std::optional<QDateTime> dateFromMailCoreHeaderAndFixTheHeaderToo(
        MCOMessageHeader& header, const QDateTime& now = QDateTime::currentDateTimeUtc());

    // The text after the last ";" of the "Received" field (all of it when there is none).
    static std::optional<QString> extractDateFromRecievedHeader(const MCOMessageHeader& header);
};

} // namespace tessaly
