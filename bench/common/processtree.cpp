#include "processtree.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>

#include <condition_variable>
#include <mutex>

namespace {

// Every process's parent, read from /proc/PID/stat: its fourth field, after the command name in
// parentheses (which may itself hold spaces and parentheses, hence the last ')').
QHash<int, int> parentsOfAllProcesses() {
    QHash<int, int> parentOf;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        if (!isPid) {
            continue;
        }
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        if (close < 0) {
            continue;
        }
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1) {
            parentOf.insert(pid, fields[1].toInt());
        }
    }
    return parentOf;
}

QList<int> processTree() {
    const QHash<int, int> parentOf = parentsOfAllProcesses();
    const int self = static_cast<int>(QCoreApplication::applicationPid());
    QList<int> tree;
    for (auto it = parentOf.begin(); it != parentOf.end(); ++it) {
        for (int p = it.key(); p > 1; p = parentOf.value(p)) {
            if (p == self) {
                tree.append(it.key());
                break;
            }
        }
    }
    return tree;
}

// The value of a "Key:   1234 kB" line of a /proc file, or 0 when the process is gone.
qint64 kibField(const QString& path, const QByteArray& key) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(key)) {
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
        }
    }
    return 0;
}

qint64 treeSum(const char* file, const QByteArray& key) {
    qint64 total = 0;
    for (int pid : processTree()) {
        total += kibField(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)), key);
    }
    return total;
}

} // namespace

qint64 processTreePssKiB() {
    return treeSum("smaps_rollup", "Pss:");
}

qint64 processTreePssKiB(qint64* ownPssKiB, bool readOwn) {
    const int self = static_cast<int>(QCoreApplication::applicationPid());
    qint64 total = 0;
    for (int pid : processTree()) {
        if (pid == self) {
            continue;
        }
        total += kibField(QStringLiteral("/proc/%1/smaps_rollup").arg(pid), "Pss:");
    }
    if (readOwn) {
        *ownPssKiB = kibField(QStringLiteral("/proc/%1/smaps_rollup").arg(self), "Pss:");
    }
    return total + *ownPssKiB;
}

qint64 processTreeRssKiB() {
    return treeSum("status", "VmRSS:");
}

PeakPssSampler::PeakPssSampler()
    : m_thread([this](std::stop_token stop) { run(std::move(stop)); }) {
}

PeakPssSampler::~PeakPssSampler() = default; // the jthread asks the loop to stop and joins it

void PeakPssSampler::run(std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    // Reading a process's smaps_rollup holds its memory-map lock while its page tables are
    // walked, which stalls that process's threads: the bench's own event loop, whose stalls
    // are measured, is read once a second, the rest every period.
    qint64 own = 0;
    int sample = 0;
    while (!stop.stop_requested()) {
        const qint64 now = processTreePssKiB(&own, sample++ % 10 == 0);
        if (now > m_peak.load()) {
            m_peak.store(now);
        }
        m_samples.fetch_add(1);
        wake.wait_for(lock, stop, kPeriod, [] { return false; });
    }
}
