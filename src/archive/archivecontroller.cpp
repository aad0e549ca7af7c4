#include "archive/archivecontroller.h"

#include "archive/archivelog.h"
#include "platform/bus/notificationcenter.h"
#include "platform/clock/clock.h"
#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"
#include "renderbox/boxprotocol.h"
#include "settings/accountkeys.h"
#include "settings/emailsettings.h"
#include "settings/passwordcommand.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace tessaly {

namespace {
// PDF counts are written a little later, for many PDFs at once: every write rewrites the
// whole preferences file.
constexpr int kNumDoneWriteDelayMs = 2000;
} // namespace

ArchiveController::ArchiveController(PreferenceStore* store, NotificationCenter* center,
                                     RenderTool::Environment environment,
                                     DestinationProvider destination, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_center(center)
    , m_environment(std::move(environment))
    , m_options(*store, std::move(destination))
    , m_scheduler(new JobScheduler(
          store, [this] { return !m_renderJobs.isEmpty(); }, *m_environment.clock, this)) {
    connect(m_center, &NotificationCenter::notified, this, &ArchiveController::onNotification);
    m_numDoneWriter.setSingleShot(true);
    m_numDoneWriter.setInterval(kNumDoneWriteDelayMs);
    connect(&m_numDoneWriter, &QTimer::timeout, this, &ArchiveController::writeNumDone);
    connect(m_scheduler, &JobScheduler::autoJobsDue, this, [this] { startArchiving(); });
}

void ArchiveController::setAccounts(EmailSettings* accounts) {
    m_accounts = accounts;
    m_options.setAccounts(accounts);
}

ArchiveController::~ArchiveController() {
    qDeleteAll(m_renderJobs);
    writeNumDone();
}

void ArchiveController::onNotification(const QString& name, const QString& sealedObject) {
    // Only this process's boxes count: another application's, or anyone else on the bus,
    // never change this one's numbers.
    const std::optional<QString> object =
        boxprotocol::unsealed(sealedObject, boxprotocol::launcherToken());
    if (!object) {
        return;
    }
    if (name == boxprotocol::anotherPDFMade) {
        anotherPDFMade(*object);
    } else if (name == boxprotocol::unwritablePath && !m_unwritableReported) {
        m_unwritableReported = true;
        Q_EMIT unwritablePath(object->section(u'\n', 0, 0), object->section(u'\n', 1));
    }
}

void ArchiveController::anotherPDFMade(const QString& jobName) {
    auto it = m_numDone.find(jobName);
    if (it == m_numDone.end()) {
        it = m_numDone.insert(jobName, static_cast<int>(m_store->integerValue(
                                           jobName + accountkeys::lastNumDoneSuffix)));
    }
    ++*it;
    // Written a little later, for many PDFs at once: every write rewrites the whole file.
    if (!m_numDoneWriter.isActive()) {
        m_numDoneWriter.start();
    }
}

void ArchiveController::writeNumDone() {
    m_numDoneWriter.stop();
    for (auto it = m_numDone.cbegin(); it != m_numDone.cend(); ++it) {
        m_store->setValue(it.key() + accountkeys::lastNumDoneSuffix, it.value());
    }
}

void ArchiveController::resetNumDone(const QString& jobName) {
    m_numDone.insert(jobName, 0);
    m_store->setValue(jobName + accountkeys::lastNumDoneSuffix, 0);
}

int ArchiveController::numDoneThisSession(const QString& jobName) const {
    const auto it = m_numDone.constFind(jobName);
    return it != m_numDone.cend()
               ? *it
               : static_cast<int>(m_store->integerValue(jobName + accountkeys::lastNumDoneSuffix));
}

QString ArchiveController::oneOffJobName(int fileCount, const QString& destFolderOverride,
                                         const QString& generalDestination) {
    QString folder = QFileInfo(destFolderOverride).fileName();
    if (destFolderOverride.isEmpty() || folder.isEmpty()) {
        folder = QFileInfo(generalDestination).fileName();
    }
    return QStringLiteral("%1 EML files to %2").arg(fileCount).arg(folder);
}

QString ArchiveController::busProblem() const {
    if (m_center->isConnected()) {
        return {};
    }
    return QStringLiteral("render boxes cannot be reached without a D-Bus session bus: ") +
           m_center->connectionError();
}

RenderTool* ArchiveController::startEMLJob(const QStringList& paths, const QString& destFolder,
                                           const QString& jobName,
                                           const std::function<void(JobOptions&)>& adjust,
                                           QString* why) {
    auto fail = [why](const QString& reason) -> RenderTool* {
        if (why) {
            *why = reason;
        }
        return nullptr;
    };
    if (paths.isEmpty()) {
        return fail(QStringLiteral("nothing to archive"));
    }
    if (const QString problem = busProblem(); !problem.isEmpty()) {
        return fail(problem);
    }
    QString error;
    std::optional<JobOptions> options = m_options.files(paths, destFolder, jobName, &error);
    if (!options) {
        return fail(error);
    }
    if (adjust) {
        adjust(*options);
    }
    const QString name =
        jobName.isEmpty()
            ? oneOffJobName(static_cast<int>(paths.size()),
                            options->destFolderOverride.value_or(QString()), options->destFolder)
            : jobName;
    return addJob(std::move(*options), name);
}

RenderTool* ArchiveController::addJob(JobOptions options, const QString& jobName) {
    auto* job = new RenderTool(std::move(options), m_environment, this);
    job->setJobName(jobName);
    connect(job, &RenderTool::finished, this, [this, job] {
        Q_EMIT jobFinished(job);
        // Removed once the current tick is over: the job is still on the stack.
        QTimer::singleShot(0, this, [this, job] { removeRenderJob(job); });
    });
    connect(job, &RenderTool::errorFolderNames, this, &ArchiveController::errorFolderNames);
    m_renderJobs.append(job);
    Q_EMIT jobListChanged();
    startRenderingWaitingJobs();
    return job;
}

QStringList ArchiveController::emailANDFolderAccounts(const PreferenceStore& store) {
    QStringList sources;
    for (const QString& key : {accountkeys::emailAccounts, accountkeys::folderItems}) {
        for (const QString& source : store.stringListValue(key)) {
            if (!source.isEmpty() && !sources.contains(source)) {
                sources.append(source);
            }
        }
    }
    return sources;
}

void ArchiveController::startArchiving() {
    for (const QString& source : emailANDFolderAccounts()) {
        startArchiving(source);
    }
}

void ArchiveController::startArchiving(const QString& source) {
    if (source.isEmpty() || renderToolForjobName(source) || m_startingAccounts.contains(source)) {
        return;
    }
    if (source.startsWith(u'/')) {
        startFolderJob(source);
    } else {
        startIMAPJob(source);
    }
}

FolderLookup ArchiveController::ownDestination(const QString& sourceKey) const {
    return URLBookmarkInPrefs::URLFromPrefsForKey(*m_store,
                                                  sourceKey + accountkeys::destinationSuffix);
}

void ArchiveController::startFolderJob(const QString& path) {
    // A source on a drive that is not mounted would read as an empty folder: the run would
    // finish with nothing found and be recorded as archived.
    if (!QFileInfo(path).isDir()) {
        const QString why =
            QStringLiteral("the source folder %1 is not there (is its drive mounted?)").arg(path);
        qCInfo(lcArchive).noquote() << path << "not started:" << why;
        Q_EMIT sourceNotStarted(path, why);
        return;
    }
    const FolderLookup own = ownDestination(path);
    if (own.isSet() && !own.reachable) {
        Q_EMIT sourceNotStarted(path, destinationNotReachable(own));
        return;
    }
    QString why;
    if (!startEMLJob({path}, own.path, path, {}, &why)) {
        Q_EMIT sourceNotStarted(path, why);
    }
}

void ArchiveController::startIMAPJob(const QString& address) {
    if (!m_accounts) {
        Q_EMIT sourceNotStarted(address, QStringLiteral("accounts cannot be read here"));
        return;
    }
    // The account's own destination, unless it has none.
    const FolderLookup own = ownDestination(address);
    if (own.isSet() && !own.reachable) {
        Q_EMIT sourceNotStarted(address, destinationNotReachable(own));
        return;
    }
    const QString override = own.path;
    // Either way the job is listed once the credential has come: a password command runs, and
    // the keyring may take its time (it may ask the user to unlock it). A second start waits
    // for the first; a stop ends the wait, and no job appears after it.
    auto* starting = new QObject(this);
    m_startingAccounts.insert(address, starting);
    auto credentialCame = [this, starting, address, override](const QString& failure,
                                                              const QString& password) {
        if (m_startingAccounts.value(address) != starting) {
            return; // stopped meanwhile
        }
        m_startingAccounts.remove(address);
        starting->deleteLater();
        if (!failure.isEmpty()) {
            Q_EMIT sourceNotStarted(address, failure);
            return;
        }
        createIMAPJob(address, override, password);
    };
    if (m_accounts->credentialKind(address) == CredentialKind::Command) {
        auto* command = new PasswordCommand(m_accounts->passwordCommand(address), starting);
        connect(command, &PasswordCommand::finished, starting,
                [credentialCame](const PasswordCommandResult& result) {
                    credentialCame(result.ok() ? QString()
                                               : QStringLiteral("the password command failed: ") +
                                                     result.error,
                                   result.password);
                });
        command->start();
        return;
    }
    m_accounts->password(
        address, starting,
        [credentialCame](const std::optional<QString>& password, const KeychainError& error) {
            const bool failed =
                !password && error.isError() && error.kind != KeychainError::Kind::NotFound;
            credentialCame(failed ? error.message : QString(), password.value_or(QString()));
        });
}

void ArchiveController::createIMAPJob(const QString& address, const QString& destinationOverride,
                                      const QString& password) {
    if (renderToolForjobName(address)) {
        return;
    }
    if (const QString problem = busProblem(); !problem.isEmpty()) {
        Q_EMIT sourceNotStarted(address, problem);
        return;
    }
    QString error;
    std::optional<JobOptions> options =
        m_options.account(address, destinationOverride, password, &error);
    if (!options) {
        Q_EMIT sourceNotStarted(address, error);
        return;
    }
    addJob(std::move(*options), address);
}

void ArchiveController::startRenderingWaitingJobs() {
    int running = 0;
    for (RenderTool* job : m_renderJobs) {
        running += job->waiting() ? 0 : 1;
    }
    const int limit = m_store->maxNumRenderJobs();
    for (RenderTool* job : m_renderJobs) {
        if (running >= limit) {
            return;
        }
        if (job->waiting()) {
            resetNumDone(job->jobName());
            job->renderPDFs();
            ++running;
        }
    }
}

RenderTool* ArchiveController::renderToolForjobName(const QString& jobName) const {
    for (RenderTool* job : m_renderJobs) {
        if (job->jobName() == jobName) {
            return job;
        }
    }
    return nullptr;
}

void ArchiveController::stopArchiving(const QString& jobName) {
    if (QObject* command = m_startingAccounts.take(jobName)) {
        delete command; // ends the command; its answer never comes
        Q_EMIT sourceNotStarted(jobName, QStringLiteral("stopped"));
        return;
    }
    // The job cancelled is the one removed, also when others share its name.
    if (RenderTool* job = renderToolForjobName(jobName)) {
        job->cancel();
        removeRenderJob(job);
    }
}

void ArchiveController::removeRenderEngine(const QString& jobName) {
    if (jobName.isEmpty()) {
        return;
    }
    for (auto it = m_renderJobs.rbegin(); it != m_renderJobs.rend(); ++it) {
        if ((*it)->jobName() == jobName) {
            removeRenderJob(*it);
            return;
        }
    }
}

void ArchiveController::removeRenderJob(RenderTool* job) {
    if (!m_renderJobs.contains(job)) {
        return;
    }
    writeNumDone();
    if (job->allFinished() && !job->wasCancelled()) {
        m_store->setValue(job->jobName() + accountkeys::lastFinishedSuffix,
                          QDateTime::currentDateTimeUtc());
    }
    m_renderJobs.removeOne(job);
    job->deleteLater();
    Q_EMIT jobListChanged();
    startRenderingWaitingJobs();
}

} // namespace tessaly
