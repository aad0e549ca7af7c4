#include "renderbox/renderbox.h"

#include "platform/bus/notificationcenter.h"
#include "platform/files/atomicfile.h"
#include "platform/web/messagewebview.h"
#include "render/destinationpaths.h"
#include "render/localrenderengine.h"
#include "renderbox/boxprotocol.h"
#include "renderbox/renderboxlog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace tessaly {

namespace {

// The job file's own keys: what is left is the job-options record the engine is made with.
QJsonObject jobOptionsOf(QJsonObject job) {
    for (const QString& key :
         {boxprotocol::jobName, boxprotocol::mainFolder, boxprotocol::mailFolder,
          boxprotocol::emlPath, boxprotocol::attachments, boxprotocol::currentFile,
          boxprotocol::pdfPath, boxprotocol::nameNumber, boxprotocol::replaceExisting}) {
        job.remove(key);
    }
    return job;
}

QString readToken(const QString& folder) {
    QFile file(folder + u'/' + boxprotocol::launchFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QJsonDocument::fromJson(file.readAll())
        .object()
        .value(boxprotocol::launchToken)
        .toString();
}

QJsonObject resultJson(const MessageToHTMLToPDF& engine, MessageToHTMLToPDF::Outcome outcome,
                       bool retry) {
    QJsonArray files;
    for (const FileRecord& file : engine.lastFiles()) {
        files.append(QJsonObject{{boxprotocol::resultPath, file.path},
                                 {boxprotocol::fileSize, file.size},
                                 {boxprotocol::fileSha256, file.sha256}});
    }
    return {{boxprotocol::resultOutcome, outcomeName(outcome)},
            {boxprotocol::resultReason, engine.lastReason()},
            {boxprotocol::resultPath, engine.lastPdfPath()},
            {boxprotocol::resultFiles, files},
            {boxprotocol::resultRetry, retry}};
}

} // namespace

RenderBox::RenderBox(QJsonObject launchOptions, NotificationCenter* center, ViewFactory makeView,
                     Timing timing, QObject* parent)
    : QObject(parent)
    , m_launchOptions(std::move(launchOptions))
    , m_center(center)
    , m_makeView(std::move(makeView)) {
    m_doneCheck.setInterval(timing.doneCheckMs);
    m_autoQuit.setInterval(timing.autoQuitMs);
    connect(&m_doneCheck, &QTimer::timeout, this, &RenderBox::checkForCurrentRenderDone);
    connect(&m_autoQuit, &QTimer::timeout, this, &RenderBox::autoQuit);
}

RenderBox::~RenderBox() {
    m_engine.reset(); // before the view it renders in
    DestinationPaths::setUnwritablePathAlert({});
}

bool RenderBox::startListeningAsRenderbox() {
    m_id = m_launchOptions.value(boxprotocol::launchBoxId).toString();
    m_folder = m_launchOptions.value(boxprotocol::launchBoxFolder).toString();
    if (m_id.isEmpty() || m_folder.isEmpty()) {
        return false;
    }
    // Without its launcher's token a box could tell no order from a stranger's.
    m_token = readToken(m_folder);
    if (m_token.isEmpty()) {
        qCWarning(lcRenderBox).noquote() << "render box" << m_id << "found no launch token";
        return false;
    }
    connect(m_center, &NotificationCenter::notified, this, &RenderBox::onNotification);
    // Nobody could answer a dialog in a box: the application tells the user instead.
    DestinationPaths::setUnwritablePathAlert([center = m_center, token = m_token](
                                                 const QString& path, const QString& error) {
        center->post(boxprotocol::unwritablePath, boxprotocol::sealed(token, path + u'\n' + error));
    });
    m_doneCheck.start();
    m_autoQuit.start();
    m_gotJob = true;
    // The page is made now, while the application is still busy with other things, so the
    // first message does not wait for the layout engine to start.
    m_view = m_makeView();
    // A job may already be waiting: it was written while this process was starting up.
    if (!findNextJob().isEmpty()) {
        QTimer::singleShot(0, this, &RenderBox::renderboxRender);
    }
    return true;
}

void RenderBox::onNotification(const QString& name, const QString& object) {
    const std::optional<QString> payload = boxprotocol::unsealed(object, m_token);
    if (!payload) {
        return; // not from the process that launched this box
    }
    if ((name == boxprotocol::quit && *payload == m_id) ||
        (name == boxprotocol::quitAll && *payload == boxprotocol::quitAllObject)) {
        Q_EMIT quitRequested();
        return;
    }
    if (name == boxprotocol::render && *payload == m_id) {
        renderboxRender();
    }
}

QString RenderBox::findNextJob() const {
    const QStringList jobs = QDir(m_folder).entryList({boxprotocol::jobFilePattern}, QDir::Files);
    if (jobs.size() >= 2) {
        qCWarning(lcRenderBox).noquote()
            << "findNextJob: someone wrote two files into an engine, likely on a restart:" << jobs;
    }
    return jobs.isEmpty() ? QString() : m_folder + u'/' + jobs.first();
}

void RenderBox::makeEngineFor(const QJsonObject& job) {
    const QJsonObject options = jobOptionsOf(job);
    if (m_engine && options == m_engineOptions) {
        return;
    }
    // Boxes serve every job of the application, each with its own options.
    m_engine = std::make_unique<LocalRenderEngine>(JobOptions::fromJson(options), m_view.get());
    m_engineOptions = options;
    connect(m_engine.get(), &MessageToHTMLToPDF::anotherPDFMade, this,
            [this](const QString& jobName) {
                m_center->post(boxprotocol::anotherPDFMade, boxprotocol::sealed(m_token, jobName));
            });
    // Reported the moment the engine is idle; the done check is only the fallback.
    connect(m_engine.get(), &MessageToHTMLToPDF::becameIdle, this,
            &RenderBox::checkForCurrentRenderDone, Qt::QueuedConnection);
}

void RenderBox::renderboxRender() {
    m_gotJob = true;
    const QString jobFile = findNextJob();
    if (jobFile.isEmpty() || jobFile == m_currentJobFile) {
        return; // already rendering it (found at start-up and announced too)
    }
    if (m_engine && m_engine->busyDoingSomething()) {
        qCWarning(lcRenderBox).noquote()
            << "renderboxRender: called to start a render on a busy box" << jobFile;
        return;
    }
    // A job that cannot be read is still answered: the application is waiting for it.
    const QString jobId = QFileInfo(jobFile).completeBaseName();
    QFile file(jobFile);
    if (!file.open(QIODevice::ReadOnly)) {
        answerUnreadable(jobFile, jobId,
                         QStringLiteral("cannot read the job file: ") + file.errorString());
        return;
    }
    QJsonParseError parseError;
    const QJsonObject job = QJsonDocument::fromJson(file.readAll(), &parseError).object();
    const QString emlPath = job.value(boxprotocol::emlPath).toString();
    QFile message(emlPath);
    if (parseError.error != QJsonParseError::NoError || !message.open(QIODevice::ReadOnly)) {
        answerUnreadable(jobFile, jobId,
                         parseError.error != QJsonParseError::NoError
                             ? QStringLiteral("the job file is damaged: ") +
                                   parseError.errorString()
                             : QStringLiteral("cannot read the message: ") + message.errorString());
        QFile::remove(emlPath);
        return;
    }
    m_currentJobFile = jobFile;
    m_currentMessageFile = emlPath;
    m_currentJobId = job.value(boxprotocol::currentFile).toString();
    makeEngineFor(job);
    const QString pdfPath = job.value(boxprotocol::pdfPath).toString();
    if (!pdfPath.isEmpty()) {
        m_engine->setClaimedName({pdfPath, job.value(boxprotocol::nameNumber).toInt(1),
                                  job.value(boxprotocol::replaceExisting).toBool()});
    }
    (void)m_engine->renderSingleEMLMessage(
        message.readAll(), job.value(boxprotocol::mainFolder).toString(),
        job.value(boxprotocol::mailFolder).toString(), job.value(boxprotocol::jobName).toString(),
        job.value(boxprotocol::attachments).toString());
}

void RenderBox::answerUnreadable(const QString& jobFile, const QString& jobId,
                                 const QString& reason) {
    qCWarning(lcRenderBox).noquote() << "render box" << m_id << ":" << reason;
    QFile::remove(jobFile);
    const QJsonObject result{
        {boxprotocol::resultOutcome, outcomeName(MessageToHTMLToPDF::Outcome::Failed)},
        {boxprotocol::resultReason, reason},
        {boxprotocol::resultRetry, true}};
    if (!writePrivateFileAtomically(m_folder + u'/' + jobId + boxprotocol::resultSuffix,
                                    QJsonDocument(result).toJson(QJsonDocument::Compact))
             .written()) {
        // The application then learns only that there is no result, which it treats alike.
    }
    m_center->post(boxprotocol::donePrefix + m_id, boxprotocol::sealed(m_token, jobId));
}

void RenderBox::checkForCurrentRenderDone() {
    if (m_currentJobId.isEmpty() || !m_engine || m_engine->busyDoingSomething()) {
        return;
    }
    QFile::remove(m_currentMessageFile);
    QFile::remove(m_currentJobFile);
    bool retry = false;
    const bool failed = m_engine->getAndClearFailedMessage(&retry).has_value();
    const MessageToHTMLToPDF::Outcome outcome =
        m_engine->takeFinishedOutcome().value_or(m_engine->lastOutcome());
    const WriteOutcome written = writePrivateFileAtomically(
        m_folder + u'/' + m_currentJobId + boxprotocol::resultSuffix,
        QJsonDocument(resultJson(*m_engine, outcome, failed)).toJson(QJsonDocument::Compact));
    if (!written.written()) {
        qCWarning(lcRenderBox).noquote()
            << "render box" << m_id << "cannot write its result:" << written.error;
    }
    m_center->post(boxprotocol::donePrefix + m_id, boxprotocol::sealed(m_token, m_currentJobId));
    m_currentJobId.clear();
    m_currentJobFile.clear();
    m_currentMessageFile.clear();
}

void RenderBox::autoQuit() {
    if (m_gotJob) {
        m_gotJob = false;
        return;
    }
    // Never in the middle of a render (a slow page may take up to its give-up time), and never
    // with a job waiting: the application is waiting for it.
    if (!m_currentJobId.isEmpty()) {
        return;
    }
    if (!findNextJob().isEmpty()) {
        renderboxRender();
        return;
    }
    Q_EMIT quitRequested();
}

} // namespace tessaly
