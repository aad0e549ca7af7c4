// libFuzzer target: mailbox splitting, line-ending clean-up and the header-line repair.
#include "archive/sources/fileexpansion.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    const QByteArray raw(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray clean = tessaly::FileExpansion::cleanUpLineEndings(raw);
    if (clean.contains('\r')) {
        __builtin_trap();
    }
    tessaly::FileExpansion::Result result;
    tessaly::FileExpansion::splitMailbox(clean, dir.path(), QStringLiteral("fuzz.mbox"), result);
    for (const QString& path : result.emls) {
        QFile::remove(path);
    }
    (void)tessaly::FileExpansion::fixHeaderLinesInData(raw);
    return 0;
}
