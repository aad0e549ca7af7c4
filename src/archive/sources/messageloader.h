#pragma once

#include "archive/ledger/archiveledger.h"
#include "archive/sources/jobfolders.h"
#include "archive/sources/messagesource.h"
#include "archive/sources/orderedwork.h"
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

// Reads, converts and parses a job's message files on worker threads, ahead of the engines
// and in the order of the work list (taken from its end). Messages whose PDF is already
// archived are found from their header alone, so a re-run over an archived folder reads little
// more than the headers.
class MessageLoader : public MessageSource {
    Q_OBJECT

public:
    // With a ledger, every message gets its name there before it is handed out.
    MessageLoader(JobOptions options, JobFolders folders,
                  std::shared_ptr<ArchiveLedger> ledger = {}, QObject* parent = nullptr);
    ~MessageLoader() override;

    // Replaces the work list; taken from its end.
    void setWork(QList<WorkItem> items);
    void setReadyLimit(int limit) override;
    bool finished() const override;
    // The next message in work-list order, once it is ready.
    std::optional<LoadedMessage> take() override;
    int readyNeedingEngines() const override;

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

    // A message's bytes parsed, its date repaired as a file's would be.
    static std::shared_ptr<MCOMessageParser> parseMessageData(const QByteArray& data);
    // Gives a parsed message its name in the ledger (or finds it archived already), as
    // loading does; `loaded` carries the message, its mail folder and its identity.
    static void claimName(LoadedMessage& loaded, const QString& source, const JobOptions& options,
                          const JobFolders& folders, ArchiveLedger* ledger,
                          const std::optional<ArchiveLedger::ImapOrigin>& origin = std::nullopt);

private:
    using Chunk = std::vector<LoadedMessage>;

    static QThreadPool* pool();
    void fill();

    const JobOptions m_options;
    const JobFolders m_folders;
    std::shared_ptr<ArchiveLedger> m_ledger;
    QList<WorkItem> m_work;
    int m_readyLimit = 4;
    OrderedWork<Chunk> m_loading;
    std::deque<LoadedMessage> m_ready;
    std::shared_ptr<std::atomic<bool>> m_cancelled = std::make_shared<std::atomic<bool>>(false);
};

} // namespace tessaly
