#include "archive/renderbox.h"

#include "archive/archivelog.h"
#include "archive/boxprotocol.h"
#include "platform/bus/notificationcenter.h"
#include "platform/web/messagewebview.h"
#include "render/destinationpaths.h"
#include "render/localrenderengine.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace tessaly {

namespace {

// The job file's own keys: what is left is the job-options record the engine is made with.
QJsonObject jobOptionsOf(QJsonObject job) {
    for (const QString& key :
         {boxprotocol::jobName, boxprotocol::mainFolder, boxprotocol::mailFolder,
          boxprotocol::emlPath, boxprotocol::attachments, boxprotocol::currentFile}) {
        job.remove(key);
    }
    return job;
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
    connect(m_center, &NotificationCenter::notified, this, &RenderBox::onNotification);
    // Nobody could answer a dialog in a box: the application tells the user instead.
    DestinationPaths::setUnwritablePathAlert(
        [center = m_center](const QString& path, const QString& error) {
            center->post(boxprotocol::unwritablePath, path + u'\n' + error);
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
    if ((name == boxprotocol::quit && object == m_id) ||
        (name == boxprotocol::quitAll && object == boxprotocol::quitAllObject)) {
        Q_EMIT quitRequested();
        return;
    }
    if (name == boxprotocol::render && object == m_id) {
        renderboxRender();
    }
}

QString RenderBox::findNextJob() const {
    const QStringList jobs = QDir(m_folder).entryList({QStringLiteral("*.json")}, QDir::Files);
    if (jobs.size() >= 2) {
        qCWarning(lcArchive).noquote()
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
    connect(
        m_engine.get(), &MessageToHTMLToPDF::anotherPDFMade, this,
        [this](const QString& jobName) { m_center->post(boxprotocol::anotherPDFMade, jobName); });
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
        qCWarning(lcArchive).noquote()
            << "renderboxRender: called to start a render on a busy box" << jobFile;
        return;
    }
    QFile file(jobFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    const QJsonObject job = QJsonDocument::fromJson(file.readAll()).object();
    const QString emlPath = job.value(boxprotocol::emlPath).toString();
    QFile message(emlPath);
    if (!message.open(QIODevice::ReadOnly)) {
        QFile::remove(jobFile);
        return;
    }
    m_currentJobFile = jobFile;
    m_currentMessageFile = emlPath;
    m_currentJobId = job.value(boxprotocol::currentFile).toString();
    makeEngineFor(job);
    (void)m_engine->renderSingleEMLMessage(
        message.readAll(), job.value(boxprotocol::mainFolder).toString(),
        job.value(boxprotocol::mailFolder).toString(), job.value(boxprotocol::jobName).toString(),
        job.value(boxprotocol::attachments).toString());
}

void RenderBox::checkForCurrentRenderDone() {
    if (m_currentJobId.isEmpty() || !m_engine || m_engine->busyDoingSomething()) {
        return;
    }
    QFile::remove(m_currentMessageFile);
    QFile::remove(m_currentJobFile);
    m_center->post(boxprotocol::donePrefix + m_id, m_currentJobId);
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
