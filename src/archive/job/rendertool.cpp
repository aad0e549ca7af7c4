#include "archive/job/rendertool.h"

#include "archive/archivelog.h"
#include "archive/job/jobdestination.h"
#include "archive/sources/imapmessagesource.h"
#include "render/destinationpaths.h"
#include "render/renderboxengine.h"
#include "renderbox/renderboxpool.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace tessaly {

namespace {

// A hand-out yields to the event loop after this long and goes on in the next turn, so the
// window never waits on it for long.
constexpr int kHandOutBudgetMs = 20;

QString describe(const MCOMessageParser* message) {
    if (!message) {
        return QStringLiteral("(no message)");
    }
    const MCOMessageHeader& header = message->header();
    QString text = QStringLiteral("subject \"%1\"").arg(header.subject());
    if (header.from()) {
        text += QStringLiteral(", from %1").arg(header.from()->mailbox);
    }
    if (header.date()) {
        text += QStringLiteral(", dated %1").arg(header.date()->toString(Qt::ISODate));
    }
    return text;
}

} // namespace

RenderTool::Environment RenderTool::boxEnvironment(RenderBoxPool* pool, const QString& splitRoot) {
    Environment environment;
    environment.splitRoot = splitRoot;
    environment.makeEngine = [pool](const JobOptions& options) {
        return std::make_unique<RenderBoxEngine>(options, pool);
    };
    // One engine more than there are boxes keeps a message ready for the next free box.
    environment.maxEngines = pool->capacity() + 1;
    environment.warmUp = [pool](int wanted) {
        pool->warmUp(std::min(wanted, pool->capacity()));
    };
    return environment;
}

RenderTool::RenderTool(JobOptions options, Environment environment, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_environment(std::move(environment)) {
    m_timer = m_environment.clock->timer([this] { renderTimer(); });
    connect(m_writer.get(), &LedgerWriter::drained, this, &RenderTool::scheduleHandOut);
    m_timer->startEvery(m_environment.tickMs);
    connect(&m_expansion, &QFutureWatcher<Preparation>::finished, this,
            &RenderTool::expansionFinished);
}

RenderTool::~RenderTool() {
    m_expansion.waitForFinished();
    cleanup();
    m_writer.release()->deleteWhenDrained();
}

QStringList RenderTool::combineLists(const QStringList& emls, const QStringList& emlxs) {
    if (emlxs.isEmpty()) {
        return emls;
    }
    if (emlxs.size() > emls.size() * 10) {
        return emlxs;
    }
    return emls + emlxs;
}

void RenderTool::renderPDFs() {
    m_isWaiting = false;
    m_progress.scanning();
    m_gettingFileList = true;
    m_scanStartedMs = m_environment.clock->nowMs();
    const QStringList paths = m_options.emlFiles.value_or(QStringList{});
    const bool account = !m_options.isEmlJob();
    if (account) {
        m_progress.literal(QStringLiteral("Requesting email folder list"), 0.005);
    }
    // Each job splits its mailboxes into a folder of its own, so that removing them at the
    // end never takes another job's.
    m_splitFolder =
        m_environment.splitRoot + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString root = QDir::cleanPath(DestinationPaths::chosenDestination(m_options));
    m_expansion.setFuture(QtConcurrent::run([paths, account, splitRoot = m_splitFolder, root,
                                             ledger = m_preparedLedger, found = &m_found] {
        Preparation preparation;
        JobDestination destination = JobDestination::prepare(root);
        if (!destination.fatalError.isEmpty()) {
            preparation.fatalError = destination.fatalError;
            return preparation;
        }
        *ledger = std::move(destination.ledger);
        if (!account) {
            preparation.expansion = FileExpansion::explodeFilesAndFolders(paths, splitRoot, found);
        }
        return preparation;
    }));
}

void RenderTool::failBeforeStart(const QString& reason) {
    qCWarning(lcArchive).noquote() << reason;
    m_fatalError = reason;
    m_progress.failed(reason);
    cleanup();
    Q_EMIT finished();
}

void RenderTool::expansionFinished() {
    if (m_allDone) {
        return;
    }
    const Preparation preparation = m_expansion.result();
    if (!preparation.fatalError.isEmpty()) {
        failBeforeStart(preparation.fatalError);
        return;
    }
    m_ledger = std::move(*m_preparedLedger);
    if (!m_options.isEmlJob()) {
        startAccount();
        return;
    }
    const FileExpansion::Result& result = preparation.expansion;
    m_folders =
        JobFolders(JobFolders::commonAncestorEMLPaths(m_options.emlFiles.value_or(QStringList{})),
                   m_splitFolder, m_jobName);
    QList<WorkItem> work;
    // Taken from the end: what could not be read is handed out last.
    for (const FileExpansion::Unreadable& unreadable : result.unreadable) {
        work.append({unreadable.path, unreadable.reason});
    }
    for (const QString& path : combineLists(result.emls, result.emlxs)) {
        work.append({path, QString()});
    }
    m_totalEmailCount = static_cast<int>(work.size());
    auto loader = std::make_unique<MessageLoader>(m_options, m_folders, m_ledger);
    // Enough ready that a free engine never waits for a file to be read.
    loader->setReadyLimit(m_environment.maxEngines + 2);
    connect(loader.get(), &MessageLoader::ready, this, &RenderTool::scheduleHandOut);
    loader->setWork(std::move(work));
    m_loader = std::move(loader);
    m_gettingFileList = false;
    scheduleHandOut();
}

void RenderTool::startAccount() {
    const QString account = m_options.emailUsername.value_or(QString());
    m_folders = JobFolders::forAccount(account);
    std::unique_ptr<ImapSession> session =
        m_environment.makeSession
            ? m_environment.makeSession(m_options)
            : std::make_unique<ImapSession>(ImapMessageSource::sessionSettings(m_options));
    auto source =
        std::make_unique<ImapMessageSource>(m_options, m_folders, m_ledger, std::move(session));
    m_imap = source.get();
    source->setReadyLimit(m_environment.maxEngines + 2);
    connect(m_imap, &MessageSource::ready, this, [this] {
        if (m_gettingFileList && m_imap->headersFetched()) {
            m_gettingFileList = false;
            m_totalEmailCount = m_imap->totalEmailCount();
        }
        scheduleHandOut();
    });
    connect(m_imap, &ImapMessageSource::progress, this, &RenderTool::accountHeadersPhase);
    connect(m_imap, &ImapMessageSource::notArchived, this,
            [this](const QString& where, const QString& reason, int messages) {
                // Listed once for all its messages.
                listError(MessageOutcome::NotArchived, where, reason);
                if (messages == 0) {
                    m_record.folderNotRead();
                }
                m_record.count(MessageOutcome::NotArchived, messages);
                m_numEmailsArchived += messages;
            });
    connect(m_imap, &ImapMessageSource::folderListFailed, this,
            [this, account](const QString& error) {
                // Nothing to wait for: the job ends with the reason as its status, so that the
                // account's scheduled runs are not held up by it.
                Q_EMIT errorFolderNames(account, error);
                failBeforeStart(error);
            });
    m_loader = std::move(source);
    m_imap->start();
}

void RenderTool::accountHeadersPhase(const QString& line, double fraction) {
    if (m_gettingFileList && !m_allDone) {
        m_progress.literal(line, fraction);
    }
}

int RenderTool::bodiesFetched() const {
    return m_imap ? m_imap->bodiesFetched() : m_bodiesFetched;
}

QString RenderTool::statusText(int numDone) const {
    return m_progress.statusText(m_numEmailsArchived, m_totalEmailCount, numDone);
}

void RenderTool::renderTimer() {
    if (m_allDone || m_isWaiting) {
        return;
    }
    if (m_gettingFileList) {
        if (m_imap) {
            m_totalEmailCount = m_imap->totalEmailCount();
            return;
        }
        m_totalEmailCount = m_found;
        // A long scan (a large folder, a big mailbox) lets the first box start meanwhile; a
        // short one leaves it to the first message that needs rendering, so that a re-run
        // that finds everything archived starts no box at all.
        if (!m_warmedUp && !m_earlyBox && m_environment.warmUp &&
            m_environment.clock->nowMs() - m_scanStartedMs > kEarlyBoxAfterMs) {
            m_earlyBox = true;
            m_environment.warmUp(1);
        }
        return;
    }
    handOut();
}

void RenderTool::scheduleHandOut() {
    if (m_handOutScheduled || m_allDone) {
        return;
    }
    m_handOutScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_handOutScheduled = false;
        if (!m_allDone && !m_isWaiting && !m_gettingFileList) {
            handOut();
        }
    });
}

RenderTool::Engine* RenderTool::idleEngine() {
    for (Engine& engine : m_engines) {
        if (!engine.engine->busyDoingSomething()) {
            // What the engine's last message left is taken before it starts another.
            settle(engine);
            return &engine;
        }
    }
    if (static_cast<int>(m_engines.size()) >= m_environment.maxEngines) {
        return nullptr;
    }
    m_engines.push_back({m_environment.makeEngine(m_options), QString(), {}, 0, QString(), {}});
    ++m_enginesMade;
    // A free engine takes the next message at once rather than at the next tick.
    connect(m_engines.back().engine.get(), &MessageToHTMLToPDF::becameIdle, this,
            &RenderTool::scheduleHandOut, Qt::QueuedConnection);
    return &m_engines.back();
}

bool RenderTool::handOutLoaded(LoadedMessage loaded) {
    if (loaded.alreadyArchived) {
        m_record.count(MessageOutcome::AlreadyArchived);
        ++m_numEmailsArchived;
        return true;
    }
    if (!loaded.failedTwiceReason.isEmpty()) {
        note(MessageOutcome::FailedTwice, loaded.path, loaded.failedTwiceReason);
        ++m_numEmailsArchived;
        return true;
    }
    if (!loaded.message) {
        note(MessageOutcome::Unreadable, loaded.path, loaded.unreadableReason);
        if (m_ledger) {
            const QString identity =
                QString::fromLatin1(QCryptographicHash::hash("unreadable\n" + loaded.path.toUtf8(),
                                                             QCryptographicHash::Sha256)
                                        .toHex());
            m_writer->post(
                m_ledger,
                [identity, path = loaded.path,
                 reason = loaded.unreadableReason](ArchiveLedger& ledger) {
                    QString error;
                    return ledger.recordUnnamed(identity, path, ArchiveLedger::Outcome::Unreadable,
                                                reason, &error)
                               ? QString()
                               : error;
                },
                [](const QString& error) {
                    if (!error.isEmpty()) {
                        qCWarning(lcArchive).noquote() << "ledger:" << error;
                    }
                });
        }
        ++m_numEmailsArchived;
        return true;
    }
    if (!loaded.claimError.isEmpty()) {
        note(MessageOutcome::NotArchived, loaded.path, loaded.claimError);
        ++m_numEmailsArchived;
        return true;
    }
    if (!m_warmedUp && m_environment.warmUp) {
        // The first message that needs rendering starts a box for each message ready for one
        // (within the budget) at once, rather than one by one as engines ask; a re-run that
        // finds everything archived starts none.
        m_warmedUp = true;
        m_environment.warmUp(1 + (m_loader ? m_loader->readyNeedingEngines() : 0));
    }
    Engine* engine = idleEngine();
    if (!engine) {
        m_waitingForEngine = std::move(loaded);
        return false;
    }
    engine->source = loaded.path;
    engine->name = loaded.name;
    engine->ledgerRow = loaded.ledgerRow;
    engine->identity = loaded.identity;
    engine->firstTryFiles.clear();
    engine->engine->setClaimedName(loaded.name);
    if (!engine->engine->startRender(loaded.message, m_folders.getMainFolder(), loaded.mailFolder,
                                     false, m_jobName, loaded.mailappAttachments)) {
        m_waitingForEngine = std::move(loaded);
        return false;
    }
    ++m_numEmailsArchived;
    return true;
}

void RenderTool::handOut() {
    if (m_imap) {
        m_progress.archivingAccount(m_numEmailsArchived, m_totalEmailCount);
    } else {
        m_progress.archiving(m_numEmailsArchived, m_totalEmailCount);
    }
    settleEngines();

    QElapsedTimer budget;
    budget.start();
    while (true) {
        if (budget.elapsed() >= kHandOutBudgetMs) {
            scheduleHandOut();
            break;
        }
        std::optional<LoadedMessage> next = std::exchange(m_waitingForEngine, std::nullopt);
        if (!next && m_loader) {
            next = m_loader->take();
        }
        if (next) {
            if (!handOutLoaded(std::move(*next))) {
                break;
            }
            continue;
        }
        if (m_failedMessages.isEmpty()) {
            break;
        }
        Engine* engine = idleEngine();
        if (!engine) {
            break;
        }
        const Failure& failure = m_failedMessages.last();
        engine->engine->setClaimedName(failure.name);
        if (!engine->engine->startRender(failure.record.message, m_folders.getMainFolder(),
                                         failure.record.mailFolder, true, m_jobName, QString())) {
            break; // kept for the next hand-out
        }
        engine->source = failure.path;
        engine->name = failure.name;
        engine->ledgerRow = failure.ledgerRow;
        engine->identity = failure.identity;
        engine->firstTryFiles = failure.firstTryFiles;
        m_failedMessages.removeLast();
    }
    checkForAllDone();
}

void RenderTool::settleEngines() {
    for (Engine& engine : m_engines) {
        if (!engine.engine->busyDoingSomething()) {
            settle(engine);
        }
    }
}

void RenderTool::note(MessageOutcome outcome, const QString& path, const QString& detail) {
    // A message split out of a mailbox is named by its mailbox: the split copy is gone when
    // the user reads the report.
    m_record.note(outcome, m_folders.sourceDescription(path), detail);
}

void RenderTool::listError(MessageOutcome outcome, const QString& path, const QString& detail) {
    m_record.list(outcome, m_folders.sourceDescription(path), detail);
}

void RenderTool::record(const Engine& engine, MessageOutcome outcome, const QString& reason) {
    // Told once the ledger has it: what is searchable is also proven.
    std::function<void()> tellArchived;
    if (m_environment.archived && outcome != MessageOutcome::NotArchived &&
        outcome != MessageOutcome::Unreadable && !engine.engine->lastFiles().empty()) {
        // Only a message that rendered is read again here: one that brought a render box down
        // stays out of this process, and its kept files are found by their names.
        const bool rendered = isComplete(outcome);
        ArchivedMessage archived{m_folders.getMainFolder(), engine.engine->lastPdfPath(),
                                 engine.engine->lastFiles(),
                                 rendered ? engine.engine->currentMessage() : nullptr,
                                 m_ledger ? engine.identity : QString()};
        tellArchived = [tell = m_environment.archived, archived = std::move(archived)] {
            tell(archived);
        };
    }
    if (!m_ledger || engine.ledgerRow == 0) {
        if (tellArchived) {
            tellArchived();
        }
        return;
    }
    m_writer->post(
        m_ledger,
        [row = engine.ledgerRow, outcome, reason, path = engine.engine->lastPdfPath(),
         files = engine.engine->lastFiles()](ArchiveLedger& ledger) {
            QString error;
            return ledger.record(row, outcome, reason, path, files, &error) ? QString() : error;
        },
        // Runs after the job when the job was cancelled meanwhile: the index still hears of
        // the message, the job's report is written already.
        [self = QPointer<RenderTool>(this), source = engine.source,
         tellArchived = std::move(tellArchived)](const QString& error) {
            if (!error.isEmpty()) {
                // The files are in place; only the proof of them is missing.
                qCWarning(lcArchive).noquote()
                    << "cannot record" << source << "in the ledger:" << error;
                if (self && !self->m_allDone) {
                    self->listError(
                        MessageOutcome::NotArchived, source,
                        QStringLiteral("archived, but the archive's ledger cannot be written: ") +
                            error);
                }
            }
            if (tellArchived) {
                tellArchived();
            }
        });
}

void RenderTool::removeFirstTryFiles(Engine& engine) {
    const std::vector<FileRecord> left = std::exchange(engine.firstTryFiles, {});
    const std::vector<FileRecord>& kept = engine.engine->lastFiles();
    for (const FileRecord& file : left) {
        const bool rewritten =
            std::any_of(kept.cbegin(), kept.cend(),
                        [&file](const FileRecord& k) { return k.path == file.path; });
        if (rewritten) {
            continue;
        }
        // Left in place, the copy would sit beside the PDF unrecorded: the ledger, its
        // verification and the search index would never know of it. Only the very bytes the
        // first try wrote go; a file changed or replaced since is someone else's.
        const std::optional<FileRecord> now = FileRecord::of(file.path);
        if (now && now->size == file.size && now->sha256 == file.sha256 &&
            !QFile::remove(file.path)) {
            qCWarning(lcArchive).noquote()
                << "cannot remove" << file.path << "left by the first try of" << engine.source;
        }
    }
}

void RenderTool::settle(Engine& engine) {
    const std::optional<MessageToHTMLToPDF::Outcome> outcome = engine.engine->takeFinishedOutcome();
    if (!outcome) {
        return;
    }
    MessageToHTMLToPDF& done = *engine.engine;
    const QString reason = done.lastReason();
    bool retried = false;
    std::optional<MessageToHTMLToPDF::FailedMessage> failure =
        done.getAndClearFailedMessage(&retried);
    if (failure && failure->message) {
        if (!retried) {
            // Tried once more before anything is counted.
            m_failedMessages.append({*failure, engine.source, engine.name, engine.ledgerRow,
                                     engine.identity, done.lastFiles()});
            return;
        }
        m_abandonedMessages.append(
            {*failure, engine.source, engine.name, engine.ledgerRow, engine.identity, {}});
        note(MessageOutcome::FailedTwice, engine.source,
             describe(failure->message.get()) + QStringLiteral(": ") + reason);
        record(engine, MessageOutcome::FailedTwice, reason);
        return;
    }
    const MessageOutcome counted = JobRecord::countedAs(*outcome);
    QString why = reason;
    if (*outcome == MessageOutcome::Nothing) {
        why = QStringLiteral("both the PDF and the EML format are off");
    } else if (counted == MessageOutcome::NotArchived && why.isEmpty()) {
        // A failure with no message to retry: nothing of it could be kept.
        why = QStringLiteral("no file could be written");
    }
    note(counted, engine.source, why);
    if (counted == MessageOutcome::AlreadyArchived) {
        // A sound file turned up at the name between its reservation and the render: the
        // name is given back rather than claimed for a file this run did not write.
        if (m_ledger && engine.ledgerRow != 0) {
            m_writer->post(m_ledger, [row = engine.ledgerRow](ArchiveLedger& ledger) {
                ledger.release(row);
                return QString();
            });
        }
        return;
    }
    if (isComplete(counted)) {
        removeFirstTryFiles(engine);
        why.clear();
    }
    record(engine, counted, why);
}

bool RenderTool::anyEngineBusy() {
    bool busy = false;
    for (Engine& engine : m_engines) {
        busy = engine.engine->busyDoingSomething() || busy;
    }
    return busy;
}

void RenderTool::checkForAllDone() {
    // Done only when nothing is left to hand out, every failure has had its retry, and every
    // engine is idle; a failure reported by an engine that just went idle still gets its retry.
    if (m_isWaiting || m_gettingFileList || !m_loader || !m_loader->finished() ||
        m_waitingForEngine || !m_failedMessages.isEmpty()) {
        return;
    }
    const bool busy = anyEngineBusy();
    m_progress.completing();
    if (busy) {
        return;
    }
    settleEngines();
    // The last outcomes are in the ledger (and their failures in the report) before the job
    // says it is done.
    if (!m_failedMessages.isEmpty() || m_writer->pending() > 0) {
        return;
    }
    m_progress.done();
    qCInfo(lcArchive).noquote() << "finished all folders for this account"
                                << m_folders.getMainFolder();
    cleanup();
    if (!m_record.errors().isEmpty()) {
        writeErrorReport();
    }
    Q_EMIT finished();
}

void RenderTool::writeErrorReport() {
    qCInfo(lcArchive) << "There were" << m_abandonedMessages.size()
                      << "abandoned messages that were tried twice without luck";
    // An account's report goes beside its messages, in its own destination when it has one.
    const QString folder = DestinationPaths::destinationFolder(
        m_imap ? DestinationPaths::chosenDestination(m_options) : m_options.destFolder,
        m_folders.getMainFolder(), QString());
    QString error;
    m_errorReportPath = m_record.errors().write(folder, &error);
    if (m_errorReportPath.isEmpty()) {
        qCWarning(lcArchive).noquote()
            << "cannot write" << folder + QStringLiteral("/Errors.txt") << error;
    }
}

JobFigures RenderTool::figures() const {
    JobFigures figures = m_record.figures();
    figures.found = m_totalEmailCount;
    figures.handedOut = m_numEmailsArchived;
    return figures;
}

void RenderTool::cleanup() {
    m_allDone = true;
    m_timer->stop();
    // Names reserved for messages never handed out (a cancelled job) are free again. Those
    // in flight or waiting for their retry stay reserved: a box told to quit may still put
    // its PDF in place, and the next run takes such a name over for the same message once
    // this run is gone.
    QSet<qint64> inFlight;
    for (const Engine& engine : m_engines) {
        if (engine.ledgerRow != 0) {
            inFlight.insert(engine.ledgerRow); // one already recorded is not a reservation
        }
    }
    for (const Failure& failure : std::as_const(m_failedMessages)) {
        inFlight.insert(failure.ledgerRow);
    }
    // All boxes are told first, so they end side by side rather than one after another.
    for (Engine& engine : m_engines) {
        engine.engine->prepareShutdown();
    }
    for (Engine& engine : m_engines) {
        engine.engine->shutdown();
    }
    m_engines.clear();
    m_bodiesFetched = bodiesFetched();
    m_imap = nullptr;
    m_loader.reset();
    if (m_ledger) {
        m_writer->post(std::exchange(m_ledger, nullptr), [inFlight](ArchiveLedger& ledger) {
            ledger.releaseReservations(inFlight);
            return QString();
        });
    }
    if (!m_splitFolder.isEmpty() && (m_expansion.isFinished() || m_expansion.isCanceled())) {
        QDir(m_splitFolder).removeRecursively();
    }
}

void RenderTool::cancel() {
    if (m_allDone) {
        return;
    }
    m_isCanceled = true;
    m_progress.cancelled();
    // What finished before the cancel is counted and listed; what was in flight is left for
    // the next run.
    settleEngines();
    cleanup();
    if (!m_record.errors().isEmpty()) {
        writeErrorReport();
    }
    Q_EMIT finished();
}

} // namespace tessaly
