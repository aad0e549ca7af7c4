#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class QThread;

namespace tessaly {

// Brings the index up to date with the archive roots: walks them on a worker thread, reads the
// files that are new or whose modification time or size changed, writes them in batches, and
// removes the rows of files that are gone. A root that is not there (a drive not mounted)
// keeps its rows, and so does a folder that cannot be listed: the files may well still exist.
// Progress and the end are signals on the thread that owns the crawler. One crawl at a time.
class ArchiveCrawler : public QObject {
    Q_OBJECT

public:
    static constexpr int kBatchSize = 250;

    struct Counts {
        qint64 seen = 0;
        qint64 added = 0;
        qint64 updated = 0;
        qint64 removed = 0;
    };
    struct Summary {
        Counts counts;
        QStringList unreachableRoots;
        QString error; // empty when the index took everything
        bool cancelled = false;
        bool ok() const { return error.isEmpty() && !cancelled; }
    };

    // Absolute and clean, duplicates and roots inside another dropped, in the given order.
    static QStringList mergeRoots(const QStringList& roots);

    explicit ArchiveCrawler(QString indexPath, QObject* parent = nullptr);
    // Cancels a crawl still running and waits for its current file.
    ~ArchiveCrawler() override;

    // Starts a crawl of the roots; `rebuild` empties the index first. False when one runs.
    bool start(const QStringList& roots, bool rebuild = false);
    // The crawl stops after the file it reads; what was written stays, nothing is removed.
    void cancel();
    bool isRunning() const { return m_thread != nullptr; }

Q_SIGNALS:
    void progress(const tessaly::ArchiveCrawler::Counts& counts);
    void finished(const tessaly::ArchiveCrawler::Summary& summary);

private:
    QString m_indexPath;
    QThread* m_thread = nullptr;
    std::shared_ptr<std::atomic_bool> m_cancel;
};

} // namespace tessaly
