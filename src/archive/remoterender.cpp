#include "archive/remoterender.h"

#include "archive/archivelog.h"
#include "platform/files/atomicfile.h"
#include "render/emloutput.h"
#include "platform/bus/notificationcenter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QUuid>

#include <sys/stat.h>

namespace tessaly {

namespace {

QString newId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QJsonObject withoutSecrets(const JobOptions& options) {
    QJsonObject json = options.toJson();
    json.remove(jobkeys::password);
    return json;
}

} // namespace

RemoteRender::RemoteRender(JobOptions options, NotificationCenter* center,
                           const QString& runtimeFolder, QString boxProgram, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_center(center)
    , m_id(newId())
    , m_folder(runtimeFolder + u'/' + m_id)
    , m_program(std::move(boxProgram)) {
    QDir().mkpath(m_folder);
    ::chmod(QFile::encodeName(m_folder).constData(), 0700);
    m_maxTaskTimer.setSingleShot(true);
    m_maxTaskTimer.setInterval(kMaxBoxSeconds * 1000);
    connect(&m_maxTaskTimer, &QTimer::timeout, this, [this] { quitRenderbox(); });
    connect(m_center, &NotificationCenter::notified, this, &RemoteRender::onNotification);
}

RemoteRender::~RemoteRender() {
    quitRenderbox();
    QDir(m_folder).removeRecursively();
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

QStringList RemoteRender::launchArguments(const JobOptions& options, const QString& id,
                                          const QString& folder) {
    QJsonObject json = withoutSecrets(options);
    json.remove(jobkeys::accessToken);
    json.insert(QStringLiteral("renderboxID"), id);
    json.insert(QStringLiteral("renderboxFolder"), folder);
    return {QStringLiteral("--jsonArgs"),
            QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Indented))};
}

QJsonObject RemoteRender::jobDictionary(const JobOptions& options, const QString& jobName,
                                        const QString& mainFolder, const QString& mailFolder,
                                        const QString& emlPath, const QString& attachments,
                                        const QString& jobId) {
    QJsonObject json = withoutSecrets(options);
    if (!jobName.isEmpty()) {
        json.insert(QStringLiteral("job_name"), jobName);
    }
    if (!mainFolder.isEmpty()) {
        json.insert(QStringLiteral("main_folder"), mainFolder);
    }
    if (!mailFolder.isEmpty()) {
        json.insert(QStringLiteral("mail_folder"), mailFolder);
    }
    json.insert(QStringLiteral("eml_path"), emlPath);
    if (!attachments.isEmpty()) {
        json.insert(QStringLiteral("pathToAttachments"), attachments);
    }
    json.insert(QStringLiteral("current_file"), jobId);
    return json;
}

qint64 RemoteRender::boxProcessId() const {
    return m_task ? m_task->processId() : 0;
}

bool RemoteRender::taskTerminated() const {
    return !m_task || m_task->state() == QProcess::NotRunning;
}

void RemoteRender::launchRenderbox() {
    if (m_renderCountOnCurrentTask >= kMaxRendersPerBox) {
        quitRenderbox();
    }
    if (!taskTerminated()) {
        return;
    }
    m_task = std::make_unique<QProcess>();
    m_renderCountOnCurrentTask = 0;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_task->setProcessEnvironment(environment);
    m_task->setStandardOutputFile(QProcess::nullDevice());
    m_task->setStandardErrorFile(m_folder + QStringLiteral("/box.log"), QIODevice::Append);
    m_task->start(m_program, launchArguments(m_options, m_id, m_folder));
    ++m_launches;
    m_maxTaskTimer.start();
}

void RemoteRender::askToQuit() {
    if (!taskTerminated()) {
        m_center->post(QStringLiteral("rb_quit_"), m_id);
    }
}

void RemoteRender::quitRenderbox() {
    if (taskTerminated()) {
        m_task.reset();
        return;
    }
    m_center->post(QStringLiteral("rb_quit_"), m_id);
    if (!m_task->waitForFinished(500)) {
        m_task->terminate();
        if (!m_task->waitForFinished(1000)) {
            m_task->kill();
            m_task->waitForFinished(1000);
        }
    }
    m_maxTaskTimer.stop();
    m_task.reset();
}

void RemoteRender::renderPDF(const QByteArray& data, const QString& mainFolder,
                             const QString& mailFolder, const JobOptions& options,
                             const QString& jobName, const QString& mailappAttachments) {
    if (m_busyWorking) {
        qCWarning(lcArchive)
            << "logic problem - we should not be starting a new render as we already have one";
    }
    m_busyWorking = true;
    launchRenderbox();
    m_failHandled = false;
    m_currentFile = newId();
    m_renderedFiles.append(m_currentFile);

    const QString messagePath = m_folder + u'/' + m_currentFile;
    (void)writePrivateFileAtomically(messagePath, data);
    const QJsonObject job = jobDictionary(options, jobName, mainFolder, mailFolder, messagePath,
                                          mailappAttachments, m_currentFile);
    for (const QString& stale : QDir(m_folder).entryList({QStringLiteral("*.json")}, QDir::Files)) {
        QFile::remove(m_folder + u'/' + stale);
    }
    (void)writePrivateFileAtomically(messagePath + QStringLiteral(".json"),
                                     QJsonDocument(job).toJson(QJsonDocument::Indented));
    ++m_renderCountOnCurrentTask;
    m_center->post(QStringLiteral("rb_render_"), m_id);
}

void RemoteRender::onNotification(const QString& name, const QString& object) {
    if (name != QStringLiteral("rb_done_") + m_id) {
        return;
    }
    if (object == m_currentFile) {
        m_busyWorking = false;
    } else {
        qCWarning(lcArchive).noquote()
            << "some logic error got" << object << "while we should only get" << m_currentFile;
        qCWarning(lcArchive).noquote() << "previous items we STARTED on" << m_renderedFiles;
        qCWarning(lcArchive).noquote() << "previous notifications -  on" << m_renderedFilesWorked;
    }
    m_renderedFilesWorked.append(object);
}

bool RemoteRender::busyWorkingOnRender() {
    if (taskTerminated()) {
        m_busyWorking = false;
    }
    return m_busyWorking;
}

bool RemoteRender::failed() {
    if (!taskTerminated() || !m_task || m_currentFile.isEmpty()) {
        return false;
    }
    const QString messagePath = m_folder + u'/' + m_currentFile;
    if (!QFileInfo::exists(messagePath)) {
        return false;
    }
    handleFail();
    return true;
}

void RemoteRender::handleFail() {
    if (m_failHandled) {
        return;
    }
    m_failHandled = true;
    const QString messagePath = m_folder + u'/' + m_currentFile;
    QFile message(messagePath);
    QFile jobFile(messagePath + QStringLiteral(".json"));
    if (!message.open(QIODevice::ReadOnly) || !jobFile.open(QIODevice::ReadOnly)) {
        return;
    }
    const QJsonObject job = QJsonDocument::fromJson(jobFile.readAll()).object();
    if (job.value(QStringLiteral("eml_path")).toString() != messagePath) {
        return;
    }
    EmlOutput::renderSingleEMLMessageAsEmergencyEML(
        message.readAll(), job.value(QStringLiteral("main_folder")).toString(),
        job.value(QStringLiteral("mail_folder")).toString(),
        job.value(QStringLiteral("job_name")).toString(), JobOptions::fromJson(job));
    // The box is gone; nothing will clear its files now.
    message.remove();
    jobFile.remove();
}

} // namespace tessaly
