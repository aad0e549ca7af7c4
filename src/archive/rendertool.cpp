#include "archive/rendertool.h"

#include "archive/archivelog.h"
#include "archive/renderboxpool.h"
#include "render/destinationpaths.h"
#include "render/renderboxengine.h"

#include <QElapsedTimer>
#include <QtConcurrent/QtConcurrentRun>

namespace tessaly {

namespace {

// A hand-out yields to the event loop after this long and goes on in the next turn, so the
// window never waits on it for long.
constexpr int kHandOutBudgetMs = 20;
constexpr int kEarlyBoxAfterMs = 1000;

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
    m_timer.setInterval(m_environment.tickMs);
    connect(&m_timer, &QTimer::timeout, this, &RenderTool::renderTimer);
    m_timer.start();
    connect(&m_expansion, &QFutureWatcher<FileExpansion::Result>::finished, this,
            &RenderTool::expansionFinished);
}

RenderTool::~RenderTool() {
    m_expansion.waitForFinished();
    cleanup();
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
    m_scanClock.start();
    const QStringList paths = m_options.emlFiles.value_or(QStringList{});
    const QString splitRoot = m_environment.splitRoot;
    m_expansion.setFuture(QtConcurrent::run([paths, splitRoot, found = &m_found] {
        return FileExpansion::explodeFilesAndFolders(paths, splitRoot, found);
    }));
}

void RenderTool::expansionFinished() {
    if (m_allDone) {
        return;
    }
    const FileExpansion::Result result = m_expansion.result();
    m_folders =
        JobFolders(JobFolders::commonAncestorEMLPaths(m_options.emlFiles.value_or(QStringList{})),
                   m_environment.splitRoot, m_jobName);
    QList<WorkItem> work;
    // Taken from the end: what could not be read is handed out last.
    for (const FileExpansion::Unreadable& unreadable : result.unreadable) {
        work.append({unreadable.path, unreadable.reason});
    }
    for (const QString& path : combineLists(result.emls, result.emlxs)) {
        work.append({path, QString()});
    }
    m_totalEmailCount = static_cast<int>(work.size());
    m_loader = std::make_unique<MessageLoader>(m_options, m_folders);
    // Enough ready that a free engine never waits for a file to be read.
    m_loader->setReadyLimit(m_environment.maxEngines + 2);
    connect(m_loader.get(), &MessageLoader::ready, this, &RenderTool::scheduleHandOut);
    m_loader->setWork(std::move(work));
    m_gettingFileList = false;
    scheduleHandOut();
}

QString RenderTool::statusText(int numDone) const {
    return m_progress.statusText(m_numEmailsArchived, m_totalEmailCount, numDone);
}

void RenderTool::renderTimer() {
    if (m_allDone || m_isWaiting) {
        return;
    }
    if (m_gettingFileList) {
        m_totalEmailCount = m_found;
        // A long scan (a large folder, a big mailbox) lets the first box start meanwhile; a
        // short one leaves it to the first message that needs rendering, so that a re-run
        // that finds everything archived starts no box at all.
        if (!m_warmedUp && !m_earlyBox && m_environment.warmUp &&
            m_scanClock.elapsed() > kEarlyBoxAfterMs) {
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
            recordFailedMessage(engine);
            collectOutcome(engine);
            return &engine;
        }
    }
    if (static_cast<int>(m_engines.size()) >= m_environment.maxEngines) {
        return nullptr;
    }
    m_engines.push_back({m_environment.makeEngine(m_options), QString()});
    ++m_enginesMade;
    // A free engine takes the next message at once rather than at the next tick.
    connect(m_engines.back().engine.get(), &MessageToHTMLToPDF::becameIdle, this,
            &RenderTool::scheduleHandOut, Qt::QueuedConnection);
    return &m_engines.back();
}

bool RenderTool::handOutLoaded(LoadedMessage loaded) {
    if (loaded.alreadyArchived) {
        ++m_figures.alreadyArchived;
        ++m_numEmailsArchived;
        return true;
    }
    if (!loaded.message) {
        m_errors.add({ErrorReport::Entry::Kind::Unreadable, loaded.path, loaded.unreadableReason});
        ++m_figures.unreadable;
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
    engine->engine->setKnownPdfPath(loaded.pdfPath);
    if (!engine->engine->startRender(loaded.message, m_folders.getMainFolder(), loaded.mailFolder,
                                     false, m_jobName, loaded.mailappAttachments)) {
        m_waitingForEngine = std::move(loaded);
        return false;
    }
    ++m_numEmailsArchived;
    return true;
}

void RenderTool::handOut() {
    m_progress.archiving(m_numEmailsArchived, m_totalEmailCount);
    recordFailedMessages();

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
        if (!engine->engine->startRender(failure.record.message, m_folders.getMainFolder(),
                                         QString(), true, m_jobName, QString())) {
            break; // kept for the next hand-out
        }
        engine->source = failure.path;
        m_failedMessages.removeLast();
    }
    checkForAllDone();
}

void RenderTool::recordFailedMessages() {
    for (Engine& engine : m_engines) {
        recordFailedMessage(engine);
    }
}

void RenderTool::recordFailedMessage(Engine& engine) {
    bool retry = false;
    std::optional<MessageToHTMLToPDF::FailedMessage> record =
        engine.engine->getAndClearFailedMessage(&retry);
    if (!record) {
        return;
    }
    Failure failure{*record, engine.source};
    if (retry) {
        m_abandonedMessages.append(failure);
        m_errors.add({ErrorReport::Entry::Kind::TriedTwice, failure.path,
                      describe(failure.record.message.get())});
    } else {
        m_failedMessages.append(failure);
    }
}

void RenderTool::collectOutcome(Engine& engine) {
    const std::optional<MessageToHTMLToPDF::Outcome> outcome = engine.engine->takeFinishedOutcome();
    if (!outcome) {
        return;
    }
    using Outcome = MessageToHTMLToPDF::Outcome;
    switch (*outcome) {
    case Outcome::Made:
        ++m_figures.pdfsMade;
        break;
    case Outcome::EmlOnly:
        ++m_figures.emlOnly;
        break;
    case Outcome::AlreadyArchived:
        ++m_figures.alreadyArchived;
        break;
    case Outcome::EmergencyEml:
        ++m_figures.emergencyEml;
        break;
    case Outcome::Unreadable:
        ++m_figures.unreadable;
        break;
    case Outcome::Failed:
        break; // its failure record decides: retried, or abandoned after the retry
    case Outcome::None:
    case Outcome::GivenUp:
    case Outcome::Nothing:
    case Outcome::NotArchived:
        ++m_figures.notArchived;
        break;
    }
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
    recordFailedMessages();
    if (!m_failedMessages.isEmpty()) {
        return;
    }
    for (Engine& engine : m_engines) {
        collectOutcome(engine);
    }
    m_progress.done();
    qCInfo(lcArchive).noquote() << "finished all folders for this account"
                                << m_folders.getMainFolder();
    cleanup();
    if (!m_errors.isEmpty()) {
        writeErrorReport();
    }
    Q_EMIT finished();
}

void RenderTool::writeErrorReport() {
    qCInfo(lcArchive) << "There were" << m_abandonedMessages.size()
                      << "abandoned messages that were tried twice without luck";
    const QString folder = DestinationPaths::destinationFolder(
        m_options.destFolder, m_folders.getMainFolder(), QString());
    QString error;
    m_errorReportPath = m_errors.write(folder, &error);
    if (m_errorReportPath.isEmpty()) {
        qCWarning(lcArchive).noquote()
            << "cannot write" << folder + QStringLiteral("/Errors.txt") << error;
    }
}

JobFigures RenderTool::figures() const {
    JobFigures figures = m_figures;
    figures.found = m_totalEmailCount;
    figures.handedOut = m_numEmailsArchived;
    figures.failedTwice = static_cast<int>(m_abandonedMessages.size());
    return figures;
}

void RenderTool::cleanup() {
    m_allDone = true;
    m_timer.stop();
    // All boxes are told first, so they end side by side rather than one after another.
    for (Engine& engine : m_engines) {
        engine.engine->prepareShutdown();
    }
    for (Engine& engine : m_engines) {
        engine.engine->shutdown();
    }
    m_engines.clear();
    m_loader.reset();
}

void RenderTool::cancel() {
    m_isCanceled = true;
    m_progress.cancelled();
    cleanup();
    Q_EMIT finished();
}

} // namespace tessaly
