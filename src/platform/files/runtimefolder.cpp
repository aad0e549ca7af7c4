#include "platform/files/runtimefolder.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaly {

namespace {

bool usable(const QByteArray& path, QString* error) {
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        if (error) {
            *error =
                QStringLiteral("cannot create %1: %2")
                    .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
        }
        return false;
    }
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 0077) != 0) {
        if (error) {
            *error = QStringLiteral("%1 is not a private folder of this user")
                         .arg(QFile::decodeName(path));
        }
        return false;
    }
    return true;
}

} // namespace

QString privateRuntimeFolder(QString* error) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && runtime.startsWith('/')) {
        const QByteArray path = runtime + "/tessaly";
        if (usable(path, nullptr)) {
            return QFile::decodeName(path);
        }
    }
    const QByteArray fallback = "/tmp/tessaly-" + QByteArray::number(::geteuid());
    if (usable(fallback, error)) {
        return QFile::decodeName(fallback);
    }
    return {};
}

} // namespace tessaly
