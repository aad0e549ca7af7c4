// libFuzzer target: path formats and message names never leave the destination.
#include "platform/mail/mcomessageparser.h"
#include "render/destinationpaths.h"

#include <QDir>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray raw(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // First line: the format; second: the mail folder; the rest: the message.
    const QList<QByteArray> lines = raw.split('\n');
    tessaly::JobOptions options;
    options.destFolder = QStringLiteral("/nonexistent/dest");
    options.pdfFormat = QString::fromUtf8(lines.value(0));
    const QString mailFolder = QString::fromUtf8(lines.value(1));
    tessaly::MCOMessageParser message(raw.mid(lines.value(0).size() + lines.value(1).size() + 2));
    const QString path = tessaly::DestinationPaths::computeDestinationPath(
        message, QStringLiteral("Main"), mailFolder, tessaly::FormatKey::Pdf, QString(), options);
    if (path.isEmpty()) {
        return 0;
    }
    if (!path.startsWith(QStringLiteral("/nonexistent/")) || QDir::cleanPath(path) != path) {
        __builtin_trap();
    }
    for (const QString& component : path.split(u'/', Qt::SkipEmptyParts)) {
        if (component == u".." || component.toUtf8().size() > 255) {
            __builtin_trap();
        }
    }
    return 0;
}
