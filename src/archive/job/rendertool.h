#pragma once

#include "archive/job/jobprogress.h"
#include "archive/job/jobrecord.h"
#include "archive/job/ledgerwriter.h"
#include "archive/ledger/archiveledger.h"
#include "archive/sources/fileexpansion.h"
#include "archive/sources/jobfolders.h"
#include "archive/sources/messageloader.h"
#include "platform/clock/clock.h"
#include "platform/mail/imapsession.h"
#include "render/joboptions.h"
#include "render/messagetohtmltopdf.h"

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tessaly {

class ImapMessageSource;
class RenderBoxPool;

// The driver of one archive job: hands the job's messages to render engines as soon as an
// engine is free (and on a 0.12 s tick besides), collects failures for one retry, and
// completes when every message has been handed out, every failure retried and no engine is
// busy. This is its file mode: the messages come from the job's files, folders and mailboxes,
// read ahead by a MessageLoader.
// A message whose files are in place (and recorded in the archive's ledger when the job keeps
// one).
struct ArchivedMessage {
    QString root;     // the job's main folder
    QString mainPath; // its PDF, or its EML copy when no PDF was made
    std::vector<FileRecord> files;
    // The message, when it rendered: its words are read from it rather than from the PDF.
    std::shared_ptr<const MCOMessageParser> message;
    QString identity; // the ledger's identity of the message; empty without a ledger
};

class RenderTool : public QObject {
    Q_OBJECT

public:
    static constexpr int kTickMs = 120;
    // A scan of the files that takes longer than this starts the first box meanwhile.
    static constexpr qint64 kEarlyBoxAfterMs = 1000;

    using EngineFactory = std::function<std::unique_ptr<MessageToHTMLToPDF>(const JobOptions&)>;
    struct Environment {
        QString splitRoot; // where mailbox messages are split to (the private runtime folder)
        EngineFactory makeEngine;
        // Engines are made as messages need them, up to this many.
        int maxEngines = 16;
        // Messages are also handed out on this tick, besides as soon as an engine is free.
        int tickMs = kTickMs;
        // What the tick and the job's other timings run on.
        Clock* clock = &Clock::system();
        // Called when the first message that needs rendering is handed out, with the number
        // of messages that may need it: lets that many render boxes start at once.
        std::function<void(int wanted)> warmUp;
        // The connection of an account's job; by default a session made from the job's
        // options.
        std::function<std::unique_ptr<ImapSession>(const JobOptions&)> makeSession;
        // Told of each message whose files are in place and recorded, so they can be indexed
        // while the job runs.
        std::function<void(ArchivedMessage)> archived;
    };

    // Engines that render in the boxes of `pool`, shared by every job given this environment.
    static Environment boxEnvironment(RenderBoxPool* pool, const QString& splitRoot);

    RenderTool(JobOptions options, Environment environment, QObject* parent = nullptr);
    ~RenderTool() override;

    void setJobName(const QString& name) { m_jobName = name; }
    const QString& jobName() const { return m_jobName; }
    const JobOptions& options() const { return m_options; }

    void renderPDFs();
    void cancel();

    bool waiting() const { return m_isWaiting; }
    bool allFinished() const { return m_allDone; }
    bool wasCancelled() const { return m_isCanceled; }
    const QString& operationDescription() const { return m_progress.operationDescription(); }
    // The status line with its numbers filled in: handed out, total, and PDFs made this run.
    QString statusText(int numDone) const;
    double fractionDone() const { return m_progress.fractionDone(); }
    int numEmailsArchived() const { return m_numEmailsArchived; }
    int totalEmailCount() const { return m_totalEmailCount; }
    JobFigures figures() const;
    // Where the job's error report was written, if it needed one.
    const QString& errorReportPath() const { return m_errorReportPath; }
    // Why the job could not run at all (its destination cannot be written, say); empty when
    // it ran. Such a job ends before any message is handed out.
    const QString& fatalError() const { return m_fatalError; }
    const JobFolders& folders() const { return m_folders; }
    // Engines made by this job (they are made on demand).
    int engineCount() const { return m_enginesMade; }
    // Whole messages an account's job downloaded.
    int bodiesFetched() const;

    // The work list as the expansion's two lists combine it.
    static QStringList combineLists(const QStringList& emls, const QStringList& emlxs);

Q_SIGNALS:
    void finished();
    // An account's folder list could not be had (the server refused the password, say).
    void errorFolderNames(const QString& account, const QString& error);

private:
    struct Engine {
        std::unique_ptr<MessageToHTMLToPDF> engine;
        QString source; // the file it is rendering
        ClaimedName name;
        qint64 ledgerRow = 0;
        QString identity;
        // On a retry: what the failed first try wrote (its emergency EML copy, say).
        std::vector<FileRecord> firstTryFiles;
    };
    struct Failure {
        MessageToHTMLToPDF::FailedMessage record;
        QString path;
        ClaimedName name;
        qint64 ledgerRow = 0;
        QString identity;
        std::vector<FileRecord> firstTryFiles;
    };
    struct Preparation {
        FileExpansion::Result expansion;
        QString fatalError;
    };

    void expansionFinished();
    void startAccount();
    void accountHeadersPhase(const QString& line, double fraction);
    void renderTimer();
    void scheduleHandOut();
    void handOut();
    Engine* idleEngine();
    bool handOutLoaded(LoadedMessage loaded);
    void settleEngines();
    // Takes how the engine's last message ended: counted once, listed unless made or
    // skipped, recorded in the ledger, or kept for its retry.
    void settle(Engine& engine);
    void record(const Engine& engine, MessageOutcome outcome, const QString& reason);
    // A retry that made the message's files: what its failed first try left is not kept.
    void removeFirstTryFiles(Engine& engine);
    // Counts and lists one message's outcome; `path` is named as the user knows it.
    void note(MessageOutcome outcome, const QString& path, const QString& detail);
    void listError(MessageOutcome outcome, const QString& path, const QString& detail);
    void failBeforeStart(const QString& reason);
    void checkForAllDone();
    bool anyEngineBusy();
    void writeErrorReport();
    void cleanup();

    JobOptions m_options;
    Environment m_environment;
    QString m_jobName;
    bool m_allDone = false;
    bool m_isCanceled = false;
    bool m_isWaiting = true;
    bool m_gettingFileList = false;
    bool m_handOutScheduled = false;
    bool m_warmedUp = false;
    bool m_earlyBox = false;
    qint64 m_scanStartedMs = 0;
    JobProgress m_progress;
    int m_numEmailsArchived = 0;
    int m_totalEmailCount = 0;
    JobFolders m_folders;
    std::unique_ptr<ClockTimer> m_timer;
    std::vector<Engine> m_engines;
    int m_enginesMade = 0;
    std::unique_ptr<MessageSource> m_loader;
    ImapMessageSource* m_imap = nullptr; // m_loader, for an account's job
    std::optional<LoadedMessage> m_waitingForEngine;
    QList<Failure> m_failedMessages;
    QList<Failure> m_abandonedMessages;
    JobRecord m_record;
    int m_bodiesFetched = 0; // kept when the source goes
    QString m_errorReportPath;
    QString m_fatalError;
    std::shared_ptr<ArchiveLedger> m_ledger;
    std::unique_ptr<LedgerWriter> m_writer = std::make_unique<LedgerWriter>();
    // Filled by the preparation on its thread: not kept in the future's result, which would
    // hold the ledger open for as long as the job object lives.
    std::shared_ptr<std::shared_ptr<ArchiveLedger>> m_preparedLedger =
        std::make_shared<std::shared_ptr<ArchiveLedger>>();
    QString m_splitFolder; // this job's own: removed when the job ends
    std::atomic<int> m_found{0};
    QFutureWatcher<Preparation> m_expansion;
};

} // namespace tessaly
