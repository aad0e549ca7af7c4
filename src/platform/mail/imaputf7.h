#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace tessaly {

// IMAP folder names travel in a modified UTF-7 (RFC 3501, 5.1.3): printable ASCII as itself,
// "&" as "&-", everything else as "&" modified base64 of UTF-16 "-".
QByteArray encodeImapUtf7(const QString& name);
// Nothing when the bytes are not well-formed modified UTF-7 (a server that sends raw UTF-8,
// say); the caller decides what to show then.
std::optional<QString> decodeImapUtf7(QByteArrayView name);

} // namespace tessaly
