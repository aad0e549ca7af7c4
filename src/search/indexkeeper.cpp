#include "search/indexkeeper.h"

#include <QLoggingCategory>

namespace tessaly {

namespace {
Q_LOGGING_CATEGORY(lcIndex, "tessaly.search")

bool changed(const ArchiveCrawler::Counts& before, const ArchiveCrawler::Counts& now) {
    return now.added != before.added || now.updated != before.updated ||
           now.removed != before.removed;
}
} // namespace

IndexKeeper::IndexKeeper(QString indexPath, QObject* parent)
    : QObject(parent)
    , m_crawler(std::move(indexPath)) {
    // Each written batch is visible at once: an open search need not wait for the whole crawl.
    connect(&m_crawler, &ArchiveCrawler::progress, this,
            [this](const ArchiveCrawler::Counts& counts) {
                if (changed(m_lastProgress, counts)) {
                    m_lastProgress = counts;
                    Q_EMIT indexChanged();
                }
            });
    connect(&m_crawler, &ArchiveCrawler::finished, this,
            [this](const ArchiveCrawler::Summary& summary) {
                if (!summary.error.isEmpty()) {
                    qCWarning(lcIndex).noquote()
                        << "the search index was not brought up to date:" << summary.error;
                }
                if (changed(m_lastProgress, summary.counts)) {
                    Q_EMIT indexChanged();
                }
                m_lastProgress = {};
                Q_EMIT crawlFinished(summary);
                startPending();
            });
}

void IndexKeeper::refresh(const QStringList& roots) {
    for (const QString& root : roots) {
        if (!root.isEmpty() && !m_pending.contains(root)) {
            m_pending.append(root);
        }
    }
    if (!m_crawler.isRunning()) {
        startPending();
    }
}

void IndexKeeper::startPending() {
    if (m_pending.isEmpty()) {
        return;
    }
    const QStringList roots = ArchiveCrawler::mergeRoots(std::exchange(m_pending, {}));
    if (!m_crawler.start(roots)) {
        m_pending = roots; // tried again when the running crawl ends
    }
}

} // namespace tessaly
