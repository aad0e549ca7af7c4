#pragma once

#include "archive/archiveledger.h"
#include "archive/jobfolders.h"
#include "platform/mail/mcomessageparser.h"
#include "render/joboptions.h"
#include "render/messagetohtmltopdf.h"

#include <QFutureWatcher>
#include <QList>
#include <QObject>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class QThreadPool;

namespace tessaly {

// One entry of a file job's work list: a message file, or something the expansion already
// found could not be a message.
struct WorkItem {
    QString path;
    QString unreadableReason;
};

// A work item made ready for an engine.
struct LoadedMessage {
    QString path;
    std::shared_ptr<MCOMessageParser> message; // null when no message could be made
    QString unreadableReason;                  // why, when there is no message
    QString mailFolder;
    QString mailappAttachments;
    // The name it was given (its PDF path, or its EML path when PDFs are off; empty when
    // both are off), and its row in the archive's ledger.
    ClaimedName name;
    qint64 ledgerRow = 0;
    QString identity;
    // Archived already, at its own name (or being archived right now by another run): nothing
    // to hand to an engine.
    bool alreadyArchived = false;
    // Why no name could be given (the ledger could not be written): not archived.
    QString claimError;
};

// Reads, converts and parses a job's message files on worker threads, ahead of the engines
// and in the order of the work list (taken from its end). Messages whose PDF is already
// archived are found from their header alone, so a re-run over an archived folder reads little
// more than the headers.
class MessageLoader : public QObject {
    Q_OBJECT

public:
    // With a ledger, every message gets its name there before it is handed out.
    MessageLoader(JobOptions options, JobFolders folders,
                  std::shared_ptr<ArchiveLedger> ledger = {}, QObject* parent = nullptr);
    ~MessageLoader() override;

    // Replaces the work list; taken from its end.
    void setWork(QList<WorkItem> items);
    // How many messages that need an engine may wait here, made ready.
    void setReadyLimit(int limit);
    // Nothing left to load or take.
    bool finished() const;
    // The next message in work-list order, once it is ready.
    std::optional<LoadedMessage> take();
    // Messages ready to be taken that need an engine.
    int readyNeedingEngines() const;

    // The message in a file; null with the reason when none can be made.
    static std::shared_ptr<MCOMessageParser>
    makeMCOMessage(const QString& path, QString* mailappAttachments, QString* reason = nullptr);
    // The message's PDF path read from its header alone, when the header is enough to know it
    // (the whole message then gives the same path); nothing when only the whole message can
    // tell.
    static std::optional<QString> pdfPathFromHeader(const QString& path, const JobOptions& options,
                                                    const JobFolders& folders,
                                                    const QString& mailFolder,
                                                    std::optional<QString>* identity = nullptr,
                                                    bool* repaired = nullptr);
    // Loads one item as a worker thread does.
    static LoadedMessage load(const WorkItem& item, const JobOptions& options,
                              const JobFolders& folders, ArchiveLedger* ledger = nullptr);

Q_SIGNALS:
    void ready();

private:
    using Chunk = std::vector<LoadedMessage>;

    static QThreadPool* pool();
    void fill();

    const JobOptions m_options;
    const JobFolders m_folders;
    std::shared_ptr<ArchiveLedger> m_ledger;
    QList<WorkItem> m_work;
    int m_readyLimit = 4;
    std::deque<std::unique_ptr<QFutureWatcher<Chunk>>> m_loading;
    std::deque<LoadedMessage> m_ready;
    std::shared_ptr<std::atomic<bool>> m_cancelled = std::make_shared<std::atomic<bool>>(false);
};

} // namespace tessaly
