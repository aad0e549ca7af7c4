#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace tessaly {

// Splits a piece of MIME content into the files it holds: a whole message or a single encoded
// part, uuencoded blocks, and TNEF (winmail.dat) containers, also nested in one another. Each
// file is named by the part's own name, reduced to a plain file name so nothing is ever written
// outside the folder; a file already there is never overwritten.
class MimeUnpacker {
public:
    struct [[nodiscard]] Result {
        int status = 0;      // 0 when the input was read; negative when it could not be
        QStringList written; // paths of the files written, in order
    };

    static Result decodeFile(const QString& inputPath, const QString& folder);
    static Result decode(const QByteArray& content, const QString& folder);

    // A name from a part, as a file name inside a folder: the last path component (either
    // slash), NUL and control characters removed, at most 255 UTF-8 bytes (the end kept, whole
    // characters only); "." and ".." and empty names give nothing.
    static QString safeFileName(const QString& name);
};

} // namespace tessaly
