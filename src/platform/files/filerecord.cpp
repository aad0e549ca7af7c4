#include "platform/files/filerecord.h"

#include <QCryptographicHash>
#include <QFile>

namespace tessaly {

std::optional<FileRecord> FileRecord::of(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return std::nullopt;
    }
    return FileRecord{path, file.size(), QString::fromLatin1(hash.result().toHex())};
}

} // namespace tessaly
