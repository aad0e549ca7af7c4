#include "archive/renderbox.h"

#include "archive/archivelog.h"
#include "render/destinationpaths.h"
#include "render/messagetohtmltopdf.h"
#include "platform/web/messagewebview.h"
#include "platform/bus/notificationcenter.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace tessaly {

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
    m_id = m_launchOptions.value(QStringLiteral("renderboxID")).toString();
    m_folder = m_launchOptions.value(QStringLiteral("renderboxFolder")).toString();
    if (m_id.isEmpty() || m_folder.isEmpty()) {
        return false;
    }
    connect(m_center, &NotificationCenter::notified, this, &RenderBox::onNotification);
    // Nobody could answer a dialog in a box: the application tells the user instead.
    DestinationPaths::setUnwritablePathAlert(
        [center = m_center](const QString& path, const QString& error) {
            center->post(QStringLiteral("rb_unwritablePath"), path + u'\n' + error);
        });
    m_doneCheck.start();
    m_autoQuit.start();
    m_gotJob = true;
    // A job may already be waiting: it was written while this process was starting up.
    if (!findNextJob().isEmpty()) {
        QTimer::singleShot(0, this, &RenderBox::renderboxRender);
    }
    return true;
}

void RenderBox::onNotification(const QString& name, const QString& object) {
    if ((name == u"rb_quit_" && object == m_id) || (name == u"rb_quit_all" && object == u"all")) {
        Q_EMIT quitRequested();
        return;
    }
    if (name == u"rb_render_" && object == m_id) {
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
    const QString emlPath = job.value(QStringLiteral("eml_path")).toString();
    QFile message(emlPath);
    if (!message.open(QIODevice::ReadOnly)) {
        QFile::remove(jobFile);
        return;
    }
    m_currentJobFile = jobFile;
    m_currentMessageFile = emlPath;
    m_currentJobId = job.value(QStringLiteral("current_file")).toString();
    if (!m_engine) {
        m_view = m_makeView();
        m_engine = std::make_unique<MessageToHTMLToPDF>(JobOptions::fromJson(job), m_view.get());
        connect(m_engine.get(), &MessageToHTMLToPDF::anotherPDFMade, this,
                [this](const QString& jobName) {
                    m_center->post(QStringLiteral("rb_anotherPDFMade"), jobName);
                });
    }
    m_engine->renderSingleEMLMessage(message.readAll(),
                                     job.value(QStringLiteral("main_folder")).toString(),
                                     job.value(QStringLiteral("mail_folder")).toString(),
                                     job.value(QStringLiteral("job_name")).toString(),
                                     job.value(QStringLiteral("pathToAttachments")).toString());
}

void RenderBox::checkForCurrentRenderDone() {
    if (m_currentJobId.isEmpty() || !m_engine || m_engine->busyDoingSomething()) {
        return;
    }
    QFile::remove(m_currentMessageFile);
    QFile::remove(m_currentJobFile);
    m_center->post(QStringLiteral("rb_done_") + m_id, m_currentJobId);
    m_currentJobId.clear();
    m_currentJobFile.clear();
    m_currentMessageFile.clear();
}

void RenderBox::autoQuit() {
    if (!m_gotJob) {
        Q_EMIT quitRequested();
        return;
    }
    m_gotJob = false;
}

} // namespace tessaly
