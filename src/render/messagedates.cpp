#include "render/messagedates.h"

#include "render/lenientdateparser.h"
#include "render/renderlog.h"

namespace tessaly {

namespace {
constexpr qint64 kMinSecondsFromEpoch = 10'000'000;
constexpr qint64 kMaxSecondsFromNow = 1'000'000'000;
} // namespace

bool MessageDates::dateOKForEmail(const std::optional<QDateTime>& date, const QDateTime& now) {
    if (!date || !date->isValid()) {
        return false;
    }
    const qint64 seconds = date->toSecsSinceEpoch();
    const qint64 fromNow = seconds - now.toSecsSinceEpoch();
    return std::abs(seconds) >= kMinSecondsFromEpoch && std::abs(fromNow) <= kMaxSecondsFromNow;
}

std::optional<QString> MessageDates::extractDateFromRecievedHeader(const MCOMessageHeader& header) {
    const std::optional<QString> received = header.extraHeaderValueForName(u"Received");
    if (!received) {
        return std::nullopt;
    }
    const QString dateText = received->section(u';', -1);
    qCInfo(lcRender).noquote() << "extractDateFromRecievedHeader - found date string:" << dateText;
    return dateText;
}

std::optional<QDateTime>
MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(MCOMessageHeader& header,
                                                       const QDateTime& now) {
    const std::optional<QDateTime> own = header.date();
    if (dateOKForEmail(own, now)) {
        return own;
    }
    std::optional<QString> raw = header.extraHeaderValueForName(u"Date");
    if (!raw) {
        raw = header.extraHeaderValueForName(u"Delivery-date");
    }
    if (!raw) {
        raw = extractDateFromRecievedHeader(header);
    }
    if (!raw) {
        return own;
    }
    const std::optional<QDateTime> parsed = parseLenientDate(*raw);
    if (!dateOKForEmail(parsed, now)) {
        return own;
    }
    header.setDate(parsed);
    return parsed;
}

} // namespace tessaly
