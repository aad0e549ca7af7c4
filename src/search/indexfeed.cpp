#include "search/indexfeed.h"

#include "platform/mail/mcomessageparser.h"
#include "search/archiveindex.h"
#include "search/archiveindexer.h"
#include "search/messagetext.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QtConcurrent>

namespace tessaly {

namespace {
Q_LOGGING_CATEGORY(lcFeed, "tessaly.search")

// A running job makes a message every few milliseconds: a second gathers a batch worth a
// transaction, still looks immediate to someone watching a search, and spares an open search
// from running again more often than that.
constexpr int kGatherMs = 1000;
constexpr std::size_t kBatchMessages = 500;
// Beyond this many messages waiting (the index busy behind a crawl), the later ones are
// indexed from their PDFs instead: holding every parsed message would grow without bound.
constexpr std::size_t kMaxMessagesHeld = 2000;
} // namespace

// The index connection, opened on first use and used by one thread at a time.
struct IndexFeed::Writer {
    QString path;
    QMutex mutex;
    std::unique_ptr<ArchiveIndex> index;
};

IndexFeed::IndexFeed(QString indexPath, QObject* parent)
    : QObject(parent)
    , m_writer(std::make_shared<Writer>()) {
    m_writer->path = std::move(indexPath);
    m_pool.setMaxThreadCount(1);
    m_gather.setSingleShot(true);
    m_gather.setInterval(kGatherMs);
    connect(&m_gather, &QTimer::timeout, this, &IndexFeed::startBatch);
    connect(&m_running, &QFutureWatcher<BatchResult>::finished, this, &IndexFeed::batchFinished);
}

IndexFeed::~IndexFeed() {
    if (!flush()) {
        qCWarning(lcFeed).noquote() << "files archived last were not indexed:" << m_lastError;
    }
}

void IndexFeed::add(ArchivedFiles files) {
    if (m_pending.size() >= kMaxMessagesHeld) {
        files.message.reset();
    }
    m_pending.push_back(std::move(files));
    if (m_pending.size() >= kBatchMessages) {
        startBatch();
    } else if (!m_gather.isActive()) {
        m_gather.start();
    }
}

bool IndexFeed::flush() {
    m_gather.stop();
    if (m_inFlight) {
        m_running.waitForFinished();
        batchFinished();
    }
    while (!m_pending.empty()) {
        report(write(*m_writer, takeBatch()));
    }
    // Every failure since the last flush counts, also one of a batch written in the background.
    return std::exchange(m_error, QString()).isEmpty();
}

std::vector<ArchivedFiles> IndexFeed::takeBatch() {
    if (m_pending.size() <= kBatchMessages) {
        return std::exchange(m_pending, {});
    }
    const auto end = m_pending.begin() + kBatchMessages;
    std::vector<ArchivedFiles> batch(std::make_move_iterator(m_pending.begin()),
                                     std::make_move_iterator(end));
    m_pending.erase(m_pending.begin(), end);
    return batch;
}

void IndexFeed::startBatch() {
    if (m_inFlight || m_pending.empty()) {
        return; // the batch in flight starts the next one when it ends
    }
    m_inFlight = true;
    m_running.setFuture(QtConcurrent::run(
        &m_pool, [writer = m_writer, batch = takeBatch()] { return write(*writer, batch); }));
}

void IndexFeed::batchFinished() {
    // flush() may have taken the result already; the watcher's own signal then finds nothing.
    if (!std::exchange(m_inFlight, false)) {
        return;
    }
    report(m_running.result());
    if (!m_pending.empty() && !m_gather.isActive()) {
        m_gather.start();
    }
}

void IndexFeed::report(const BatchResult& result) {
    if (!result.error.isEmpty()) {
        if (m_error.isEmpty()) {
            m_error = result.error;
        }
        m_lastError = result.error;
        qCWarning(lcFeed).noquote()
            << "archived files were not indexed (the next crawl finds them):" << result.error;
    }
    if (result.files > 0) {
        Q_EMIT indexed(result.files);
    }
}

IndexFeed::BatchResult IndexFeed::write(Writer& writer, const std::vector<ArchivedFiles>& batch) {
    const QMutexLocker lock(&writer.mutex);
    BatchResult result;
    if (!writer.index) {
        writer.index = ArchiveIndex::open(writer.path, &result.error);
        if (!writer.index) {
            return result;
        }
    }
    std::vector<IndexedFile> records;
    for (const ArchivedFiles& message : batch) {
        std::optional<QString> text;
        if (message.message) {
            text = MessageText::of(*message.message, ArchiveIndexer::kMaxTextChars);
        }
        for (const QString& path : message.files) {
            const QFileInfo file(path);
            if (!file.isFile() ||
                !ArchiveIndexer::isIndexed(ArchiveIndexer::relativePath(path, message.root))) {
                continue;
            }
            const bool main = path == message.mainPath;
            IndexedFile record =
                ArchiveIndexer::read(file, message.root, main ? text : std::nullopt);
            if (main) {
                record.ledgerId = message.ledgerId;
                if (text && record.textContent.isEmpty()) {
                    record.textContent = *text; // an EML copy: no PDF attributes to read
                }
                if (message.message && record.title.isEmpty()) {
                    const MCOMessageHeader& header = message.message->header();
                    record.title = header.subject();
                    if (header.from()) {
                        record.authors = header.from()->mailbox;
                    }
                }
            }
            records.push_back(std::move(record));
        }
    }
    if (records.empty()) {
        return result;
    }
    if (!writer.index->upsert(records)) {
        result.error = writer.index->lastError();
        return result;
    }
    result.files = static_cast<int>(records.size());
    return result;
}

} // namespace tessaly
