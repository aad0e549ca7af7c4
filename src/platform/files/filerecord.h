#pragma once

#include <QString>

#include <optional>

namespace tessaly {

// A file as written: where, how big, and its SHA-256 in hex, so it can be proved unchanged.
struct FileRecord {
    QString path;
    qint64 size = 0;
    QString sha256;

    // The file as it is on disk now; nothing when it cannot be read.
    static std::optional<FileRecord> of(const QString& path);
};

} // namespace tessaly
