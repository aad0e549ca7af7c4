#pragma once

#include "search/archivecrawler.h"

#include <QObject>
#include <QStringList>

namespace tessaly {

// Keeps the index current for a running application: a crawl of the archive roots when asked
// (at launch, after a job, when the search view appears), one at a time; asking during a crawl
// runs one more crawl after it with everything asked meanwhile, so nothing asked is lost and
// requests never pile up.
class IndexKeeper : public QObject {
    Q_OBJECT

public:
    explicit IndexKeeper(QString indexPath, QObject* parent = nullptr);

    void refresh(const QStringList& roots);
    bool isCrawling() const { return m_crawler.isRunning(); }

Q_SIGNALS:
    // Files were added, changed or removed: a search that follows the index runs again.
    void indexChanged();
    // A crawl ended (the next queued one may start at once).
    void crawlFinished(const tessaly::ArchiveCrawler::Summary& summary);

private:
    void startPending();

    ArchiveCrawler m_crawler;
    QStringList m_pending;
    ArchiveCrawler::Counts m_lastProgress;
};

} // namespace tessaly
