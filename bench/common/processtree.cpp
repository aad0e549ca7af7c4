#include "processtree.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>

qint64 processTreeRssKiB() {
    QHash<int, int> parentOf;
    QHash<int, qint64> rss;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        if (!isPid) {
            continue;
        }
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("PPid:")) {
                parentOf[pid] = line.mid(5).trimmed().toInt();
            } else if (line.startsWith("VmRSS:")) {
                rss[pid] = line.mid(6).trimmed().split(' ').first().toLongLong();
            }
        }
    }
    const int self = static_cast<int>(QCoreApplication::applicationPid());
    qint64 total = 0;
    for (auto it = rss.begin(); it != rss.end(); ++it) {
        for (int p = it.key(); p > 1; p = parentOf.value(p)) {
            if (p == self) {
                total += it.value();
                break;
            }
        }
    }
    return total;
}
