#include "render/messageoutcome.h"

#include <utility>

namespace tessaly {

namespace {
constexpr std::pair<MessageOutcome, const char*> kNames[] = {
    {MessageOutcome::None, "none"},
    {MessageOutcome::Reserved, "reserved"},
    {MessageOutcome::Made, "made"},
    {MessageOutcome::AlreadyArchived, "already-archived"},
    {MessageOutcome::EmlOnly, "eml-only"},
    {MessageOutcome::Failed, "failed"},
    {MessageOutcome::FailedTwice, "failed-twice"},
    {MessageOutcome::Nothing, "nothing"},
    {MessageOutcome::EmergencyEml, "emergency-eml"},
    {MessageOutcome::NotArchived, "not-archived"},
    {MessageOutcome::Unreadable, "unreadable"},
};
} // namespace

QString outcomeName(MessageOutcome outcome) {
    for (const auto& [value, name] : kNames) {
        if (value == outcome) {
            return QString::fromLatin1(name);
        }
    }
    return {};
}

std::optional<MessageOutcome> outcomeNamed(const QString& name) {
    for (const auto& [value, text] : kNames) {
        if (name == QLatin1String(text)) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace tessaly
