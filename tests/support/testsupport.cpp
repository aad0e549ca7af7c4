#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace tessaly::test {

QString dataFile(const QString& name) {
    return QStringLiteral(TESSALY_TEST_DATA_DIR) + u'/' + name;
}

QByteArray readDataFile(const QString& name) {
    QFile file(dataFile(name));
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("missing test data file %s", qPrintable(name));
    }
    return file.readAll();
}

QString sharedCorpusDir() {
    const QString dir = QStringLiteral(TESSALY_SHARED_DIR) + QStringLiteral("/corpus");
    return QDir(dir).exists() ? QDir(dir).canonicalPath() : QString();
}

QStringList sharedCorpusFiles() {
    const QString dir = sharedCorpusDir();
    if (dir.isEmpty()) {
        return {};
    }
    QStringList files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.endsWith(QStringLiteral(".md"))) {
            files.append(path);
        }
    }
    files.sort();
    return files;
}

void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
        qFatal("cannot write %s", qPrintable(path));
    }
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray crlfMessage(const QByteArray& text) {
    QByteArray out = text;
    out.replace("\r\n", "\n");
    out.replace("\n", "\r\n");
    return out;
}

QByteArray processCommandLine(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

namespace {

// The fields of /proc/PID/stat after the command name (which may hold spaces).
QList<QByteArray> statFields(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
}

} // namespace

QHash<qint64, qint64> processParents() {
    QHash<qint64, qint64> parentOf;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        const QList<QByteArray> fields = isPid ? statFields(pid) : QList<QByteArray>();
        if (fields.size() > 1) {
            parentOf.insert(pid, fields[1].toLongLong());
        }
    }
    return parentOf;
}

bool processEnded(qint64 pid) {
    const QList<QByteArray> fields = statFields(pid);
    return fields.isEmpty() || fields.first() == "Z";
}

} // namespace tessaly::test
