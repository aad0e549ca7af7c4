#include "search/archivecrawler.h"

#include "search/archiveindex.h"
#include "search/archiveindexer.h"
#include "search/searchscopes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QThread>

#include <functional>
#include <utility>
#include <vector>

namespace tessaly {

namespace {

bool isInside(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder.endsWith(u'/') ? folder : folder + u'/');
}

// One crawl, on the worker thread, with its own connection to the index.
class Crawl {
public:
    using Report = std::function<void(const ArchiveCrawler::Counts&)>;

    Crawl(const std::atomic_bool& cancel, Report report)
        : m_cancel(cancel)
        , m_report(std::move(report)) {
        m_sinceReport.start();
    }

    ArchiveCrawler::Summary run(const QString& indexPath, const QStringList& roots, bool rebuild) {
        QString error;
        m_index = ArchiveIndex::open(indexPath, &error);
        if (!m_index) {
            m_summary.error = error;
            return m_summary;
        }
        if (rebuild && !m_index->clear()) {
            m_summary.error = m_index->lastError();
            return m_summary;
        }
        for (const QString& root : roots) {
            if (!QFileInfo(root).isDir()) {
                m_summary.unreachableRoots.append(root);
                continue;
            }
            if (!crawlRoot(root) || cancelled()) {
                break;
            }
        }
        m_report(m_summary.counts);
        return m_summary;
    }

private:
    bool cancelled() {
        if (m_cancel.load()) {
            m_summary.cancelled = true;
        }
        return m_summary.cancelled;
    }

    bool crawlRoot(const QString& root) {
        std::vector<IndexedStamp> stamps;
        if (!m_index->stampsUnder(root, &stamps)) {
            m_summary.error = m_index->lastError();
            return false;
        }
        m_known.clear();
        for (IndexedStamp& stamp : stamps) {
            m_known.insert(stamp.path, stamp);
        }
        m_unlisted.clear();
        QStringList folders{root};
        while (!folders.isEmpty() && !cancelled()) {
            const QString folder = folders.takeLast();
            const QFileInfo folderInfo(folder);
            if (!folderInfo.isReadable() || !folderInfo.isExecutable()) {
                m_unlisted.append(folder);
                continue;
            }
            // Hidden entries are left out, the ledger's folder with them; links are not
            // followed, so a link cannot lead the walk in circles or out of the archive.
            const QFileInfoList entries = QDir(folder).entryInfoList(
                QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
            for (const QFileInfo& entry : entries) {
                if (entry.isDir()) {
                    folders.append(entry.absoluteFilePath());
                } else if (!visit(entry, root)) {
                    return false;
                }
                if (cancelled()) {
                    break;
                }
            }
        }
        if (!flush()) {
            return false;
        }
        // A walk cut short or a drive gone meanwhile has not seen everything: nothing goes.
        if (cancelled() || !QFileInfo(root).isDir()) {
            return true;
        }
        return removeUnseen();
    }

    bool visit(const QFileInfo& file, const QString& root) {
        const QString path = file.absoluteFilePath();
        if (!ArchiveIndexer::isIndexed(ArchiveIndexer::relativePath(path, root))) {
            return true;
        }
        ++m_summary.counts.seen;
        const auto known = m_known.constFind(path);
        const bool isNew = known == m_known.cend();
        if (!isNew && known->mtimeNs == ArchiveIndexer::modificationNs(file) &&
            known->size == file.size()) {
            m_known.erase(known);
        } else {
            if (!isNew) {
                m_known.erase(known);
            }
            m_batch.push_back(ArchiveIndexer::read(file, root));
            ++(isNew ? m_pendingAdded : m_pendingUpdated);
            if (m_batch.size() >= static_cast<size_t>(ArchiveCrawler::kBatchSize)) {
                return flush();
            }
        }
        if (m_sinceReport.elapsed() >= 250) {
            report();
        }
        return true;
    }

    bool flush() {
        if (!m_index->upsert(m_batch)) {
            m_summary.error = m_index->lastError();
            return false;
        }
        m_batch.clear();
        m_summary.counts.added += std::exchange(m_pendingAdded, 0);
        m_summary.counts.updated += std::exchange(m_pendingUpdated, 0);
        report();
        return true;
    }

    bool removeUnseen() {
        QStringList gone;
        for (auto it = m_known.cbegin(); it != m_known.cend(); ++it) {
            const bool unlisted =
                std::any_of(m_unlisted.cbegin(), m_unlisted.cend(),
                            [&it](const QString& folder) { return isInside(it.key(), folder); });
            if (!unlisted) {
                gone.append(it.key());
            }
        }
        for (qsizetype start = 0; start < gone.size(); start += ArchiveCrawler::kBatchSize) {
            const QStringList batch = gone.mid(start, ArchiveCrawler::kBatchSize);
            if (!m_index->remove(batch)) {
                m_summary.error = m_index->lastError();
                return false;
            }
            m_summary.counts.removed += batch.size();
            report();
        }
        return true;
    }

    void report() {
        m_sinceReport.restart();
        m_report(m_summary.counts);
    }

    const std::atomic_bool& m_cancel;
    Report m_report;
    std::unique_ptr<ArchiveIndex> m_index;
    ArchiveCrawler::Summary m_summary;
    QHash<QString, IndexedStamp> m_known;
    QStringList m_unlisted;
    std::vector<IndexedFile> m_batch;
    qint64 m_pendingAdded = 0;
    qint64 m_pendingUpdated = 0;
    QElapsedTimer m_sinceReport;
};

} // namespace

QStringList ArchiveCrawler::mergeRoots(const QStringList& roots) {
    QStringList clean;
    for (const QString& root : roots) {
        if (!root.trimmed().isEmpty()) {
            clean.append(QDir::cleanPath(QDir(root).absolutePath()));
        }
    }
    clean.removeDuplicates();
    return SearchScopes::coalescePaths(clean);
}

ArchiveCrawler::ArchiveCrawler(QString indexPath, QObject* parent)
    : QObject(parent)
    , m_indexPath(std::move(indexPath)) {
}

ArchiveCrawler::~ArchiveCrawler() {
    if (m_thread) {
        m_cancel->store(true);
        m_thread->wait();
        delete m_thread;
    }
}

bool ArchiveCrawler::start(const QStringList& roots, bool rebuild) {
    if (m_thread) {
        return false;
    }
    m_cancel = std::make_shared<std::atomic_bool>(false);
    const QStringList merged = mergeRoots(roots);
    m_thread = QThread::create([this, merged, rebuild, cancel = m_cancel, path = m_indexPath] {
        // Reports go to this object's thread as queued calls; the destructor waits for this
        // thread, so `this` outlives every call made here.
        Crawl crawl(*cancel, [this](const Counts& counts) {
            QMetaObject::invokeMethod(
                this, [this, counts] { Q_EMIT progress(counts); }, Qt::QueuedConnection);
        });
        const Summary summary = crawl.run(path, merged, rebuild);
        QMetaObject::invokeMethod(
            this,
            [this, summary] {
                if (m_thread) {
                    m_thread->wait();
                    delete m_thread;
                    m_thread = nullptr;
                }
                Q_EMIT finished(summary);
            },
            Qt::QueuedConnection);
    });
    m_thread->setObjectName(QStringLiteral("archive crawler"));
    m_thread->start(QThread::LowPriority);
    return true;
}

void ArchiveCrawler::cancel() {
    if (m_cancel) {
        m_cancel->store(true);
    }
}

} // namespace tessaly
