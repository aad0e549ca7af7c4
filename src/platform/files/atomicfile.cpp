#include "platform/files/atomicfile.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaly {

namespace {

mode_t newFileMode() {
    static mode_t mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    int close() {
        int result = 0;
        if (m_fd >= 0) {
            result = ::close(m_fd);
            m_fd = -1;
        }
        return result;
    }

private:
    int m_fd;
};

bool writeAll(int fd, QByteArrayView data, int& error) {
    const char* cursor = data.data();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, cursor, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return false;
        }
        cursor += n;
        left -= n;
    }
    return true;
}

// Used only where the file system can neither rename without replacing nor hard-link (FAT,
// some network shares): exclusive creation still never replaces, at the cost of atomicity.
using Prepare = std::function<void(const QString& file)>;

WriteOutcome writeExclusively(const QByteArray& path, QByteArrayView data, const Prepare& prepare) {
    FileDescriptor fd(::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        if (errno == EEXIST) {
            return {WriteOutcome::Status::AlreadyExists, {}};
        }
        return {WriteOutcome::Status::Failed, errnoText(errno)};
    }
    int error = 0;
    if (!writeAll(fd.get(), data, error) || ::fsync(fd.get()) != 0 || fd.close() != 0) {
        error = error ? error : errno;
        ::unlink(path.constData());
        return {WriteOutcome::Status::Failed, errnoText(error)};
    }
    if (prepare) {
        prepare(QFile::decodeName(path));
    }
    return {WriteOutcome::Status::Written, {}};
}

WriteOutcome moveWithoutReplacing(const QByteArray& temp, const QByteArray& target,
                                  QByteArrayView data, const Prepare& prepare) {
    if (::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0) {
        return {WriteOutcome::Status::Written, {}};
    }
    int error = errno;
    if (error == EEXIST) {
        ::unlink(temp.constData());
        return {WriteOutcome::Status::AlreadyExists, {}};
    }
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP) {
        if (::link(temp.constData(), target.constData()) == 0) {
            ::unlink(temp.constData());
            return {WriteOutcome::Status::Written, {}};
        }
        error = errno;
        ::unlink(temp.constData());
        if (error == EEXIST) {
            return {WriteOutcome::Status::AlreadyExists, {}};
        }
        if (error == EPERM || error == EOPNOTSUPP || error == EMLINK) {
            return writeExclusively(target, data, prepare);
        }
        return {WriteOutcome::Status::Failed, errnoText(error)};
    }
    ::unlink(temp.constData());
    return {WriteOutcome::Status::Failed, errnoText(error)};
}

// Files in transit are not synced: a crash ends the job they belong to anyway, and a sync per
// message costs more than the rest of handing it over.
enum class Durability { Synced, Transient };

WriteOutcome writeWithMode(const QString& path, QByteArrayView data, ExistingFile mode,
                           mode_t permissions, Durability durability, const Prepare& prepare = {}) {
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray dir = QFile::encodeName(info.absolutePath());
    if (mode == ExistingFile::KeepExisting && ::access(target.constData(), F_OK) == 0) {
        return {WriteOutcome::Status::AlreadyExists, {}};
    }

    QByteArray temp = dir + "/.tessaly-XXXXXX";
    FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return {WriteOutcome::Status::Failed, errnoText(errno)};
    }
    int error = 0;
    const bool ok = writeAll(fd.get(), data, error) && ::fchmod(fd.get(), permissions) == 0 &&
                    (durability == Durability::Transient || ::fsync(fd.get()) == 0);
    if (!ok) {
        error = error ? error : errno;
    }
    if (fd.close() != 0 && ok) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temp.constData());
        return {WriteOutcome::Status::Failed, errnoText(error)};
    }

    if (prepare) {
        prepare(QFile::decodeName(temp));
    }
    if (mode == ExistingFile::KeepExisting) {
        return moveWithoutReplacing(temp, target, data, prepare);
    }
    if (::rename(temp.constData(), target.constData()) != 0) {
        error = errno;
        ::unlink(temp.constData());
        return {WriteOutcome::Status::Failed, errnoText(error)};
    }
    return {WriteOutcome::Status::Written, {}};
}

} // namespace

WriteOutcome writeFileAtomically(const QString& path, QByteArrayView data, ExistingFile mode) {
    return writeWithMode(path, data, mode, newFileMode(), Durability::Synced);
}

WriteOutcome writeFileAtomically(const QString& path, QByteArrayView data, ExistingFile mode,
                                 const std::function<void(const QString& file)>& prepare) {
    return writeWithMode(path, data, mode, newFileMode(), Durability::Synced, prepare);
}

WriteOutcome writePrivateFileAtomically(const QString& path, QByteArrayView data) {
    return writeWithMode(path, data, ExistingFile::Replace, 0600, Durability::Transient);
}

bool fileHoldsBytes(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.size() == data.size() && file.open(QIODevice::ReadOnly) && file.readAll() == data;
}

bool setFileModificationTime(const QString& path, const QDateTime& time) {
    if (!time.isValid()) {
        return false;
    }
    const qint64 ms = time.toMSecsSinceEpoch();
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(ms / 1000);
    times[1].tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    if (times[1].tv_nsec < 0) {
        times[1].tv_sec -= 1;
        times[1].tv_nsec += 1000000000;
    }
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

} // namespace tessaly
