#include "renderbox/remoterender.h"

#include "platform/bus/notificationcenter.h"
#include "platform/files/atomicfile.h"
#include "render/destinationpaths.h"
#include "render/emloutput.h"
#include "renderbox/boxprotocol.h"
#include "renderbox/renderboxlog.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QQueue>
#include <QStandardPaths>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaly {

namespace {

// The ids kept for the log: a box object lives as long as the application, so only the last
// ones.
constexpr qsizetype kRememberedIds = 64;

void remember(QStringList& ids, const QString& id) {
    ids.append(id);
    if (ids.size() > kRememberedIds) {
        ids.removeFirst();
    }
}

// Niceness of a box process (0 is the application's, 19 the lowest).
constexpr int kBoxNiceness = 5;
// How long a box told to quit may take before it is terminated, and then killed.
constexpr int kQuitGraceMs = 2000;

QString newId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

// How long boxes told to quit get to end by themselves when their launcher goes, and then
// after being terminated and after being killed: shared by every box ending then.
constexpr int kEndQuitMs = 500;
constexpr int kEndTerminateMs = 1000;
constexpr int kEndKillMs = 1000;

} // namespace

RemoteRender::RemoteRender(NotificationCenter* center, const QString& runtimeFolder,
                           QString boxProgram, Clock& clock, QObject* parent)
    : RenderBoxClient(parent)
    , m_center(center)
    , m_id(newId())
    , m_folder(runtimeFolder + u'/' + m_id)
    , m_program(std::move(boxProgram)) {
    QDir().mkpath(m_folder);
    ::chmod(QFile::encodeName(m_folder).constData(), 0700);
    // A box past its time finishes the render it has: it is replaced before the next one.
    m_maxTaskTimer = clock.timer([this] {
        if (m_busyWorking) {
            m_retireBeforeNextRender = true;
        } else {
            quitRenderbox();
        }
    });
    connect(m_center, &NotificationCenter::notified, this, &RemoteRender::onNotification);
}

RemoteRender::~RemoteRender() {
    // Nobody listens any more to how the boxes end.
    blockSignals(true);
    askToQuit();
    std::vector<std::unique_ptr<QProcess>> processes = takeProcesses();
    endTogether(processes);
    QDir(m_folder).removeRecursively();
}

std::vector<std::unique_ptr<QProcess>> RemoteRender::takeProcesses() {
    // Nothing may forget a process while its new owner waits for it.
    std::vector<std::unique_ptr<QProcess>> processes = std::move(m_retiring);
    m_retiring.clear();
    if (m_task) {
        processes.push_back(std::move(m_task));
    }
    for (auto& process : processes) {
        process->disconnect(this);
    }
    return processes;
}

void RemoteRender::endTogether(std::vector<std::unique_ptr<QProcess>>& processes) {
    auto waitAll = [&processes](int ms) {
        const QDeadlineTimer deadline(ms);
        bool allEnded = true;
        for (auto& process : processes) {
            if (process->state() != QProcess::NotRunning &&
                !process->waitForFinished(
                    static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)))) {
                allEnded = false;
            }
        }
        return allEnded;
    };
    if (waitAll(kEndQuitMs)) {
        return;
    }
    for (auto& process : processes) {
        process->terminate();
    }
    if (waitAll(kEndTerminateMs)) {
        return;
    }
    for (auto& process : processes) {
        process->kill();
    }
    waitAll(kEndKillMs);
}

QString RemoteRender::defaultBoxProgram() {
    const QString configured = qEnvironmentVariable("TESSALY_RENDERBOX_PROGRAM");
    if (!configured.isEmpty()) {
        return configured;
    }
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         {here + QStringLiteral("/tessaly"), here + QStringLiteral("/../tessaly")}) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable()) {
            return info.canonicalFilePath();
        }
    }
    return QStandardPaths::findExecutable(QStringLiteral("tessaly"));
}

QStringList RemoteRender::launchArguments(const QString& id, const QString& folder) {
    QJsonObject json;
    json.insert(boxprotocol::launchBoxId, id);
    json.insert(boxprotocol::launchBoxFolder, folder);
    return {boxprotocol::launchFlag,
            QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Indented))};
}

QJsonObject RemoteRender::jobDictionary(const JobOptions& options, const QString& jobName,
                                        const QString& mainFolder, const QString& mailFolder,
                                        const QString& emlPath, const QString& attachments,
                                        const QString& jobId, const ClaimedName& name) {
    QJsonObject json = options.toJson();
    // The box never signs in anywhere: it needs neither secret.
    json.remove(jobkeys::password);
    json.remove(jobkeys::accessToken);
    if (!jobName.isEmpty()) {
        json.insert(boxprotocol::jobName, jobName);
    }
    if (!mainFolder.isEmpty()) {
        json.insert(boxprotocol::mainFolder, mainFolder);
    }
    if (!mailFolder.isEmpty()) {
        json.insert(boxprotocol::mailFolder, mailFolder);
    }
    json.insert(boxprotocol::emlPath, emlPath);
    if (!attachments.isEmpty()) {
        json.insert(boxprotocol::attachments, attachments);
    }
    json.insert(boxprotocol::currentFile, jobId);
    if (!name.path.isEmpty()) {
        json.insert(boxprotocol::pdfPath, name.path);
        json.insert(boxprotocol::nameNumber, name.number);
        json.insert(boxprotocol::replaceExisting, name.replace);
    }
    return json;
}

std::optional<RenderBoxResult> RemoteRender::readResult(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QJsonParseError error;
    const QJsonObject json = QJsonDocument::fromJson(file.readAll(), &error).object();
    const std::optional<MessageToHTMLToPDF::Outcome> outcome =
        outcomeNamed(json.value(boxprotocol::resultOutcome).toString());
    if (error.error != QJsonParseError::NoError || !outcome) {
        return std::nullopt;
    }
    RenderBoxResult result;
    result.outcome = *outcome;
    result.reason = json.value(boxprotocol::resultReason).toString();
    result.path = json.value(boxprotocol::resultPath).toString();
    result.retry = json.value(boxprotocol::resultRetry).toBool();
    for (const QJsonValue& value : json.value(boxprotocol::resultFiles).toArray()) {
        const QJsonObject entry = value.toObject();
        result.files.push_back({entry.value(boxprotocol::resultPath).toString(),
                                entry.value(boxprotocol::fileSize).toInteger(),
                                entry.value(boxprotocol::fileSha256).toString()});
    }
    return result;
}

qint64 RemoteRender::boxProcessId() const {
    return m_task ? m_task->processId() : 0;
}

// Starts boxes one at a time, a turn of the event loop apart: a launch takes a few
// milliseconds, and several at once would hold the window and the job's hand-out up.
class LaunchPacer : public QObject {
public:
    static LaunchPacer* instance() {
        static QPointer<LaunchPacer> pacer;
        if (!pacer) {
            pacer = new LaunchPacer(QCoreApplication::instance());
        }
        return pacer;
    }

    void enqueue(RemoteRender* box) {
        m_queue.enqueue(box);
        if (!m_timer.isActive()) {
            m_timer.start();
        }
    }

private:
    explicit LaunchPacer(QObject* parent)
        : QObject(parent) {
        m_timer.setSingleShot(true);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            while (!m_queue.isEmpty()) {
                const QPointer<RemoteRender> box = m_queue.dequeue();
                if (box) {
                    box->launchIfPending();
                    break;
                }
            }
            if (!m_queue.isEmpty()) {
                m_timer.start();
            }
        });
    }

    QQueue<QPointer<RemoteRender>> m_queue;
    QTimer m_timer;
};

bool RemoteRender::processRunning() const {
    return m_task && m_task->state() != QProcess::NotRunning;
}

bool RemoteRender::running() const {
    return m_launchPending || processRunning();
}

bool RemoteRender::needsLaunch() const {
    return !processRunning() || m_renderCountOnCurrentTask >= kMaxRendersPerBox ||
           m_retireBeforeNextRender;
}

void RemoteRender::launchSoon() {
    if (m_launchPending) {
        return;
    }
    m_launchPending = true;
    LaunchPacer::instance()->enqueue(this);
}

void RemoteRender::launchIfPending() {
    if (m_launchPending) {
        m_launchPending = false;
        launchRenderbox();
    }
}

int RemoteRender::liveProcesses() const {
    int live = processRunning() ? 1 : 0;
    for (const auto& process : m_retiring) {
        live += process->state() != QProcess::NotRunning ? 1 : 0;
    }
    return live;
}

void RemoteRender::launchRenderbox() {
    m_launchPending = false;
    if (std::exchange(m_replaceProcess, false)) {
        quitRenderbox();
    }
    if (processRunning()) {
        return;
    }
    // The token goes in a file only this user can read; the command line, which every local
    // user can read, carries only the box's id and folder.
    const QJsonObject launch{{boxprotocol::launchToken, boxprotocol::launcherToken()}};
    const WriteOutcome tokenWritten = writePrivateFileAtomically(
        m_folder + u'/' + boxprotocol::launchFile, QJsonDocument(launch).toJson());
    m_startError.clear();
    if (!tokenWritten.written()) {
        m_startError =
            QStringLiteral("cannot prepare the render box's folder: ") + tokenWritten.error;
        qCWarning(lcRenderBox).noquote() << m_startError;
        Q_EMIT renderFinished();
        return;
    }
    m_task = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_task->setProcessEnvironment(environment);
    m_task->setStandardOutputFile(QProcess::nullDevice());
    m_task->setStandardErrorFile(m_folder + QStringLiteral("/box.log"), QIODevice::Append);
    // Boxes render in the background: the application's own thread (the window, the job that
    // feeds the boxes) gets the processor first when the machine is busy. Alone on the machine
    // they still get all of it.
    // A box also ends with the process that launched it, however that one ended (even
    // killed outright): nobody else would ever tell it to quit.
    m_task->setChildProcessModifier([] {
        if (::setpriority(PRIO_PROCESS, 0, kBoxNiceness) != 0) {
            // Left at the application's priority: nothing to do about it in the child.
        }
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
            // Then it ends on its idle timer instead.
        }
        // Its own process group: Ctrl-C at the terminal goes to the command-line tool, which
        // ends its boxes in order, not to a box in the middle of writing a file.
        if (::setpgid(0, 0) != 0) {
            // Then it shares the terminal's signals; the launcher still ends it.
        }
    });
    QProcess* process = m_task.get();
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (process != m_task.get() || error != QProcess::FailedToStart) {
            return;
        }
        m_startError = QStringLiteral("the render box could not start (%1): %2")
                           .arg(m_program, process->errorString());
        qCWarning(lcRenderBox).noquote() << m_startError;
        if (m_busyWorking) {
            Q_EMIT renderFinished();
        }
    });
    connect(process, &QProcess::finished, this, [this, process] {
        if (process != m_task.get()) {
            return;
        }
        if (m_busyWorking) {
            Q_EMIT renderFinished(); // the box died during the render
        }
        Q_EMIT processEnded();
    });
    // QProcess starts the program without waiting for it to come up: the box announces
    // nothing, it looks for a waiting job file as soon as it listens.
    m_task->start(m_program, launchArguments(m_id, m_folder));
    ++m_launches;
    m_maxTaskTimer->startOnce(qint64(kMaxBoxSeconds) * 1000);
    Q_EMIT processStarted();
}

void RemoteRender::askToQuit() {
    if (running() || !m_retiring.empty()) {
        m_center->post(boxprotocol::quit, boxprotocol::sealed(boxprotocol::launcherToken(), m_id));
    }
}

void RemoteRender::retire(std::unique_ptr<QProcess> process) {
    if (!process || process->state() == QProcess::NotRunning) {
        return;
    }
    QProcess* raw = process.get();
    m_retiring.push_back(std::move(process));
    auto forget = [this, raw] {
        for (auto it = m_retiring.begin(); it != m_retiring.end(); ++it) {
            if (it->get() == raw) {
                it->release()->deleteLater();
                m_retiring.erase(it);
                return;
            }
        }
    };
    connect(raw, &QProcess::finished, this, forget);
    // Ended without waiting here: the main thread goes on while the box winds down.
    QTimer::singleShot(kQuitGraceMs, raw, [raw] { raw->terminate(); });
    QTimer::singleShot(2 * kQuitGraceMs, raw, [raw] { raw->kill(); });
}

void RemoteRender::quitRenderbox() {
    m_maxTaskTimer->stop();
    m_launchPending = false;
    if (!processRunning()) {
        m_task.reset();
        return;
    }
    m_center->post(boxprotocol::quit, boxprotocol::sealed(boxprotocol::launcherToken(), m_id));
    retire(std::move(m_task));
}

void RemoteRender::renderPDF(const QByteArray& data, const QString& mainFolder,
                             const QString& mailFolder, const JobOptions& options,
                             const QString& jobName, const QString& mailappAttachments,
                             const ClaimedName& name) {
    if (m_busyWorking) {
        qCWarning(lcRenderBox)
            << "logic problem - we should not be starting a new render as we already have one";
    }
    m_busyWorking = true;
    if (needsLaunch()) {
        // A new box for this render: the old one (if any) has served its renders or its time.
        // It reads its job file when it comes up, whenever that is.
        m_replaceProcess = processRunning();
        m_retireBeforeNextRender = false;
        m_renderCountOnCurrentTask = 0;
        launchSoon();
    }
    m_failHandled = false;
    m_currentDone = false;
    m_result.reset();
    m_currentFile = newId();
    remember(m_renderedFiles, m_currentFile);
    m_current = {data, mainFolder, mailFolder, jobName, options, name};
    ++m_renderCountOnCurrentTask;

    const QString messagePath = m_folder + u'/' + m_currentFile;
    const QByteArray job =
        QJsonDocument(jobDictionary(options, jobName, mainFolder, mailFolder, messagePath,
                                    mailappAttachments, m_currentFile, name))
            .toJson(QJsonDocument::Indented);
    // The files are written on a worker thread: creating files can stall for tens of
    // milliseconds on a busy disk, and the main thread has other boxes to feed.
    auto* handOver = new QFutureWatcher<WriteOutcome>(this);
    const QString renderId = m_currentFile;
    connect(handOver, &QFutureWatcher<WriteOutcome>::finished, this, [this, handOver, renderId] {
        handOver->deleteLater();
        if (renderId != m_currentFile || !m_busyWorking) {
            // The render is over (the box ended meanwhile): its files must not wait
            // in the folder for the next box to find.
            const QString path = m_folder + u'/' + renderId;
            QFile::remove(path);
            QFile::remove(path + boxprotocol::jobFileSuffix);
            return;
        }
        const WriteOutcome written = handOver->result();
        if (written.written()) {
            m_center->post(boxprotocol::render,
                           boxprotocol::sealed(boxprotocol::launcherToken(), m_id));
            return;
        }
        // The box cannot be handed this message: it is kept as an emergency copy.
        qCWarning(lcRenderBox).noquote()
            << "cannot hand a message to render box" << m_id << ":" << written.error;
        m_failHandled = true;
        keepEmergencyCopy(QStringLiteral("cannot hand the message to a render box: ") +
                          written.error);
    });
    handOver->setFuture(QtConcurrent::run([folder = m_folder, messagePath, data, job] {
        for (const QString& stale :
             QDir(folder).entryList({boxprotocol::jobFilePattern}, QDir::Files)) {
            QFile::remove(folder + u'/' + stale);
        }
        const WriteOutcome message = writePrivateFileAtomically(messagePath, data);
        if (!message.written()) {
            return message;
        }
        const WriteOutcome jobFile =
            writePrivateFileAtomically(messagePath + boxprotocol::jobFileSuffix, job);
        if (!jobFile.written()) {
            QFile::remove(messagePath);
        }
        return jobFile;
    }));
}

void RemoteRender::onNotification(const QString& name, const QString& sealedObject) {
    if (name != boxprotocol::donePrefix + m_id) {
        return;
    }
    const std::optional<QString> object =
        boxprotocol::unsealed(sealedObject, boxprotocol::launcherToken());
    if (!object) {
        return; // not from this process's box
    }
    remember(m_renderedFilesWorked, *object);
    const QString resultPath = m_folder + u'/' + *object + boxprotocol::resultSuffix;
    if (*object == m_currentFile && m_busyWorking) {
        m_result = readResult(resultPath);
        QFile::remove(resultPath);
        if (!m_result) {
            RenderBoxResult none;
            none.reason = QStringLiteral("the render box could not report how the render ended");
            none.retry = true;
            none.outcome = MessageToHTMLToPDF::Outcome::Failed;
            none.path = m_current.name.path;
            m_result = std::move(none);
        }
        m_busyWorking = false;
        m_currentDone = true;
        m_current = {};
        Q_EMIT renderFinished();
        return;
    }
    QFile::remove(resultPath);
    qCWarning(lcRenderBox).noquote()
        << "some logic error got" << *object << "while we should only get" << m_currentFile;
    qCWarning(lcRenderBox).noquote() << "previous items we STARTED on" << m_renderedFiles;
    qCWarning(lcRenderBox).noquote() << "previous notifications -  on" << m_renderedFilesWorked;
}

bool RemoteRender::busyWorkingOnRender() {
    if (m_copying) {
        return true;
    }
    if (!running() && m_busyWorking) {
        m_busyWorking = false;
        // The box is gone in the middle of the render: the message is kept as a copy, which
        // is written before the render counts as over.
        if (!m_currentFile.isEmpty() && !m_currentDone && !m_failHandled) {
            handleFail();
            return m_copying;
        }
    }
    return m_busyWorking;
}

bool RemoteRender::failed() {
    if (m_currentFile.isEmpty()) {
        return false;
    }
    if (m_failHandled) {
        return true;
    }
    if (running() || m_currentDone) {
        return false;
    }
    handleFail();
    return true;
}

std::optional<RenderBoxResult> RemoteRender::takeResult() {
    return std::exchange(m_result, std::nullopt);
}

void RemoteRender::keepEmergencyCopy(const QString& why) {
    // Parsing and writing a message of many megabytes takes its time: not on this thread,
    // which feeds the other boxes and may draw a window.
    m_copying = true;
    auto* copying = new QFutureWatcher<RenderBoxResult>(this);
    connect(copying, &QFutureWatcherBase::finished, this, [this, copying] {
        copying->deleteLater();
        m_result = copying->result();
        m_copying = false;
        m_busyWorking = false;
        Q_EMIT renderFinished();
    });
    copying->setFuture(QtConcurrent::run(
        [current = m_current, why, id = m_id] { return emergencyCopy(current, why, id); }));
}

RenderBoxResult RemoteRender::emergencyCopy(const Render& current, const QString& why,
                                            const QString& boxId) {
    RenderBoxResult result;
    result.reason = why;
    result.path = current.name.path;
    if (result.path.isEmpty() && !current.data.isEmpty()) {
        // Handed over without a name: the message's own path, as the box would have made it.
        auto message = MCOMessageParser::messageParserWithData(current.data);
        result.path =
            DestinationPaths::destinationPath(*message, current.mainFolder, current.mailFolder,
                                              FormatKey::Pdf, QString(), current.options);
    }
    const WriteOutcome copy = EmlOutput::emergencyCopy(current.data, result.path);
    if (copy.written()) {
        result.outcome = MessageToHTMLToPDF::Outcome::EmergencyEml;
        if (std::optional<FileRecord> file =
                FileRecord::of(EmlOutput::emlPathBeside(result.path))) {
            result.files.push_back(std::move(*file));
        }
    } else {
        result.outcome = MessageToHTMLToPDF::Outcome::NotArchived;
        result.reason +=
            QStringLiteral("; no EML copy either: %1")
                .arg(copy.error.isEmpty() ? QStringLiteral("its name is taken") : copy.error);
        qCWarning(lcRenderBox).noquote() << "no emergency copy for a message of box" << boxId;
    }
    return result;
}

void RemoteRender::handleFail() {
    if (m_failHandled) {
        return;
    }
    m_failHandled = true;
    // The message is kept from memory: the box may have died before its files were even
    // written. Files of the render still on their way are removed when they arrive.
    const QString messagePath = m_folder + u'/' + m_currentFile;
    // A box that ended just after answering has said how the render went.
    const QString resultPath = messagePath + boxprotocol::resultSuffix;
    if (std::optional<RenderBoxResult> answered = readResult(resultPath)) {
        QFile::remove(resultPath);
        m_result = std::move(answered);
        QFile::remove(messagePath);
        QFile::remove(messagePath + boxprotocol::jobFileSuffix);
        m_current = {};
        return;
    }
    keepEmergencyCopy(!m_startError.isEmpty()
                          ? m_startError
                          : QStringLiteral("the render box ended during the render"));
    QFile::remove(messagePath);
    QFile::remove(messagePath + boxprotocol::jobFileSuffix);
    m_current = {};
}

} // namespace tessaly
