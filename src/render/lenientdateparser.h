#pragma once

#include <QDateTime>
#include <QStringView>

#include <optional>

namespace tessaly {

// Reads the dates real mail carries: RFC 5322 with or without the day name, obsolete zone
// names, two- and three-digit years, ctime order ("Wed Jun 30 21:49:08 1993"), fractional
// seconds, unsigned zones and ISO 8601 ("2012-12-08 00:48"). A missing zone is UTC. Comments in
// parentheses are ignored. Returns nothing for text that names no complete calendar date.
std::optional<QDateTime> parseLenientDate(QStringView text);

} // namespace tessaly
