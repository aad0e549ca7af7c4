#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <memory>
#include <vector>

namespace tessaly {

class MCOMessageParser;

// The files one message left in the archive, handed over as the job records them.
struct ArchivedFiles {
    QString root;     // the folder the job archives into
    QString mainPath; // the message's PDF, or its EML copy when no PDF was made
    QStringList files;
    // The message itself: its words go into the index without reading them back out of the
    // PDF. Nobody else may use it any more.
    std::shared_ptr<const MCOMessageParser> message;
    QString ledgerId;
};

// Puts what a running job archives into the search index as it goes, so an open search finds
// a message moments after its PDF is written instead of at the next crawl. Gathers files for
// a moment and writes them in one batch on a worker thread. A batch that cannot be written is
// not lost for good: the next crawl of the archive finds the files.
class IndexFeed : public QObject {
    Q_OBJECT

public:
    explicit IndexFeed(QString indexPath, QObject* parent = nullptr);
    // Writes what is still pending before it goes.
    ~IndexFeed() override;

    void add(ArchivedFiles files);
    // Writes everything added so far and returns once it is in the index (the end of a
    // command-line run). False when a batch since the last flush could not be written, in the
    // background or now; lastError() says why.
    bool flush();
    const QString& lastError() const { return m_lastError; }

Q_SIGNALS:
    // Files went into the index: a search that follows it runs again.
    void indexed(int files);

private:
    struct Writer;
    struct BatchResult {
        int files = 0;
        QString error;
    };
    static BatchResult write(Writer& writer, const std::vector<ArchivedFiles>& batch);
    std::vector<ArchivedFiles> takeBatch();
    void startBatch();
    void batchFinished();
    void report(const BatchResult& result);

    std::shared_ptr<Writer> m_writer;
    std::vector<ArchivedFiles> m_pending;
    QTimer m_gather;
    QThreadPool m_pool;
    QFutureWatcher<BatchResult> m_running;
    bool m_inFlight = false;
    QString m_error;     // the first failure since the last flush
    QString m_lastError; // the last failure reported
};

} // namespace tessaly
