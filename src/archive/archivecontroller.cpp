#include "archive/archivecontroller.h"

#include "archive/archivelog.h"
#include "archive/boxprotocol.h"
#include "platform/bus/notificationcenter.h"
#include "platform/power/sleepinhibitor.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"
#include "render/custompath.h"
#include "settings/accountkeys.h"
#include "settings/emailsettings.h"
#include "settings/passwordcommand.h"
#include "settings/utils.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace tessaly {

namespace {
const QString kLastFinished = QStringLiteral("__LastFinished");
const QString kLastNumDone = QStringLiteral("__LastNumDone");
constexpr int kMinAutoSeconds = 60;
constexpr int kMaxAutoSeconds = 2'592'000;
constexpr int kNumDoneWriteDelayMs = 2000;

// A stored folder that is not there now (an unmounted drive) is never written into: the files
// would land on the wrong disk, or, with the choice forgotten, quietly somewhere else.
QString notReachable(const FolderLookup& folder) {
    qCWarning(lcArchive).noquote() << folder.reason;
    return QStringLiteral("the destination folder %1 is not reachable (is its drive mounted?)")
        .arg(folder.path);
}
} // namespace

ArchiveController::ArchiveController(PreferenceStore* store, NotificationCenter* center,
                                     RenderTool::Environment environment,
                                     DestinationProvider destination, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_center(center)
    , m_environment(std::move(environment))
    , m_destination(std::move(destination)) {
    connect(m_center, &NotificationCenter::notified, this, &ArchiveController::onNotification);
    m_numDoneWriter.setSingleShot(true);
    m_numDoneWriter.setInterval(kNumDoneWriteDelayMs);
    connect(&m_numDoneWriter, &QTimer::timeout, this, &ArchiveController::writeNumDone);
    m_autoJobTimer.setSingleShot(true);
    connect(&m_autoJobTimer, &QTimer::timeout, this, &ArchiveController::autoJobStep);
    connect(this, &ArchiveController::autoJobsDue, this, [this] { startArchiving(); });
    m_sleepInhibitor = new SleepInhibitor(QStringLiteral("Tessaly"),
                                          QStringLiteral("Tessaly busy archiving Email"), this);
    connect(m_sleepInhibitor, &SleepInhibitor::acquired, this, [this] {
        m_preventSleepAssertionID = static_cast<quint32>(m_sleepInhibitor->descriptor());
        if (m_renderJobs.isEmpty()) {
            keepComputerFromSleepingIfBusy(); // the jobs ended meanwhile
        }
    });
    connect(m_sleepInhibitor, &SleepInhibitor::failed, this, [this](const QString& reason) {
        qCInfo(lcArchive).noquote() << "cannot keep the computer awake while archiving:" << reason;
        m_preventSleepAssertionID = kNoSleepPrevention;
    });
    m_sleepCheck.setInterval(2000);
    connect(&m_sleepCheck, &QTimer::timeout, this,
            &ArchiveController::keepComputerFromSleepingIfBusy);
    m_sleepCheck.start();
}

void ArchiveController::keepComputerFromSleepingIfBusy() {
    if (!m_renderJobs.isEmpty() && m_preventSleepAssertionID == 0) {
        m_sleepInhibitor->acquire();
    } else if (m_renderJobs.isEmpty() && m_preventSleepAssertionID != 0 &&
               m_preventSleepAssertionID != kNoSleepPrevention) {
        m_sleepInhibitor->release();
        m_preventSleepAssertionID = 0;
    }
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
        it = m_numDone.insert(jobName,
                              static_cast<int>(m_store->integerValue(jobName + kLastNumDone)));
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
        m_store->setValue(it.key() + kLastNumDone, it.value());
    }
}

void ArchiveController::resetNumDone(const QString& jobName) {
    m_numDone.insert(jobName, 0);
    m_store->setValue(jobName + kLastNumDone, 0);
}

int ArchiveController::numDoneThisSession(const QString& jobName) const {
    const auto it = m_numDone.constFind(jobName);
    return it != m_numDone.cend() ? *it
                                  : static_cast<int>(m_store->integerValue(jobName + kLastNumDone));
}

QString ArchiveController::oneOffJobName(int fileCount, const QString& destFolderOverride,
                                         const QString& generalDestination) {
    QString folder = QFileInfo(destFolderOverride).fileName();
    if (destFolderOverride.isEmpty() || folder.isEmpty()) {
        folder = QFileInfo(generalDestination).fileName();
    }
    return QStringLiteral("%1 EML files to %2").arg(fileCount).arg(folder);
}

JobOptions ArchiveController::emlJobOptions(const QStringList& paths, const QString& destFolder,
                                            const QString& jobName, QString* error) const {
    JobOptions options;
    options.emlFiles = paths;
    options.destFolder = m_destination ? m_destination() : QString();
    if (options.destFolder.isEmpty()) {
        if (error) {
            *error = QStringLiteral("no destination folder is set: choose one where the PDFs "
                                    "should go");
        }
        return options;
    }
    // The error report goes into the general destination even when the files go elsewhere.
    if (const QString why = generalDestinationProblem(options.destFolder); !why.isEmpty()) {
        if (error) {
            *error = why;
        }
        return options;
    }
    if (!destFolder.isEmpty()) {
        options.destFolderOverride = destFolder;
    }
    options.pdfFormat = CustomPath::getPathFormat(*m_store, jobName);
    options.attachmentFormat = CustomPath::getAttachmentFormat(*m_store, jobName);
    options.emlFormat = CustomPath::getEMLFormat(*m_store, jobName);
    options.windowsFilenames = m_store->useWindowsFriendlyFilenames();
    options.tinyHeaders = m_store->includeTinyHeaderText();
    options.loadRemoteImages = m_store->loadRemoteImages();
    return options;
}

RenderTool* ArchiveController::startEMLJob(const QStringList& paths, const QString& destFolder,
                                           const QString& jobName,
                                           const std::function<void(JobOptions&)>& adjust) {
    m_lastError.clear();
    if (paths.isEmpty()) {
        m_lastError = QStringLiteral("nothing to archive");
        return nullptr;
    }
    if (!m_center->isConnected()) {
        m_lastError = QStringLiteral("render boxes cannot be reached without a D-Bus session "
                                     "bus: ") +
                      m_center->connectionError();
        return nullptr;
    }
    QString error;
    JobOptions options = emlJobOptions(paths, destFolder, jobName, &error);
    if (!error.isEmpty()) {
        m_lastError = error;
        return nullptr;
    }
    if (adjust) {
        adjust(options);
    }
    return addJob(std::move(options),
                  jobName.isEmpty() ? oneOffJobName(static_cast<int>(paths.size()),
                                                    options.destFolderOverride.value_or(QString()),
                                                    options.destFolder)
                                    : jobName);
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
        if (!startFolderJob(source)) {
            Q_EMIT sourceNotStarted(source, m_lastError);
        }
    } else {
        startIMAPJob(source);
    }
}

FolderLookup ArchiveController::ownDestination(const QString& sourceKey) const {
    return URLBookmarkInPrefs::URLFromPrefsForKey(*m_store,
                                                  sourceKey + accountkeys::destinationSuffix);
}

QString ArchiveController::generalDestinationProblem(const QString& general) const {
    const FolderLookup stored =
        URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, prefkeys::destBookmarkURL);
    // Only the stored choice is checked: a folder handed in for this run alone (the command
    // line's --dest) is made when it is missing.
    if (stored.isSet() && !stored.reachable &&
        QDir::cleanPath(stored.path) == QDir::cleanPath(general)) {
        return notReachable(stored);
    }
    return {};
}

RenderTool* ArchiveController::startFolderJob(const QString& path) {
    // A source on a drive that is not mounted would read as an empty folder: the run would
    // finish with nothing found and be recorded as archived.
    if (!QFileInfo(path).isDir()) {
        m_lastError =
            QStringLiteral("the source folder %1 is not there (is its drive mounted?)").arg(path);
        qCInfo(lcArchive).noquote() << path << "not started:" << m_lastError;
        return nullptr;
    }
    const FolderLookup own = ownDestination(path);
    if (own.isSet() && !own.reachable) {
        m_lastError = notReachable(own);
        return nullptr;
    }
    return startEMLJob({path}, own.path, path);
}

std::optional<JobOptions> ArchiveController::imapJobOptions(const QString& address,
                                                            const QString& destinationOverride,
                                                            const QString& password,
                                                            QString* error) const {
    if (address.isEmpty()) {
        *error = QStringLiteral("no account address");
        return std::nullopt;
    }
    JobOptions options;
    options.emailUsername = address;
    options.destFolder = m_destination ? m_destination() : QString();
    if (options.destFolder.isEmpty()) {
        *error = QStringLiteral("no destination folder is set: choose one where the PDFs "
                                "should go");
        return std::nullopt;
    }
    if (!destinationOverride.isEmpty()) {
        options.destFolderOverride = destinationOverride;
    } else if (const QString why = generalDestinationProblem(options.destFolder); !why.isEmpty()) {
        *error = why;
        return std::nullopt;
    }
    options.pdfFormat = CustomPath::getPathFormat(*m_store, address);
    options.attachmentFormat = CustomPath::getAttachmentFormat(*m_store, address);
    options.emlFormat = CustomPath::getEMLFormat(*m_store, address);
    const QString server = m_accounts ? m_accounts->imapConfig(address) : QString();
    options.imapServer = Utils::serverNameFromServerString(server);
    options.imapPort = Utils::serverPortFromServerString(server);
    options.imapTransport = static_cast<int>(Utils::useSSLFromServerString(server));
    const QString auth =
        m_accounts ? m_accounts->authSystem(address) : EmailSettings::kauth_user_pass;
    if (password.isEmpty() && auth == EmailSettings::kauth_user_pass) {
        *error = QStringLiteral("no password is stored for %1").arg(address);
        return std::nullopt;
    }
    options.authSystem = auth;
    options.accessToken = QString();
    options.password = password;
    options.windowsFilenames = m_store->useWindowsFriendlyFilenames();
    options.tinyHeaders = m_store->includeTinyHeaderText();
    options.loadRemoteImages = m_store->loadRemoteImages();
    const QString skipKey = EmailSettings::emailFoldersOffPrefsKey(address);
    if (m_store->isStored(skipKey)) {
        options.foldersToSkip = m_store->stringListValue(skipKey);
    }
    if (m_accounts && !m_accounts->trustedCertificate(address).isEmpty()) {
        options.trustedCertificate = m_accounts->trustedCertificate(address);
    }
    return options;
}

void ArchiveController::startIMAPJob(const QString& address, const QString& destinationOverride) {
    if (!m_accounts) {
        Q_EMIT sourceNotStarted(address, QStringLiteral("accounts cannot be read here"));
        return;
    }
    // The account's own destination, unless the caller chose one.
    QString override = destinationOverride;
    if (override.isEmpty()) {
        const FolderLookup own = ownDestination(address);
        if (own.isSet() && !own.reachable) {
            Q_EMIT sourceNotStarted(address, notReachable(own));
            return;
        }
        override = own.path;
    }
    if (m_accounts->credentialKind(address) == CredentialKind::Command) {
        // Run without blocking: the job is listed once the command has answered.
        auto* command = new PasswordCommand(m_accounts->passwordCommand(address), this);
        m_startingAccounts.insert(address, command);
        connect(command, &PasswordCommand::finished, this,
                [this, command, address, override](const PasswordCommandResult& result) {
                    command->deleteLater();
                    m_startingAccounts.remove(address);
                    if (!result.ok()) {
                        Q_EMIT sourceNotStarted(address,
                                                QStringLiteral("the password command failed: ") +
                                                    result.error);
                        return;
                    }
                    createIMAPJob(address, override, result.password);
                });
        command->start();
        return;
    }
    KeychainError keychainError;
    const std::optional<QString> password = m_accounts->password(address, &keychainError);
    if (!password && keychainError.isError() &&
        keychainError.kind != KeychainError::Kind::NotFound) {
        Q_EMIT sourceNotStarted(address, keychainError.message);
        return;
    }
    createIMAPJob(address, override, password.value_or(QString()));
}

void ArchiveController::createIMAPJob(const QString& address, const QString& destinationOverride,
                                      const QString& password) {
    if (renderToolForjobName(address)) {
        return;
    }
    if (!m_center->isConnected()) {
        Q_EMIT sourceNotStarted(address,
                                QStringLiteral("render boxes cannot be reached without a D-Bus "
                                               "session bus: ") +
                                    m_center->connectionError());
        return;
    }
    QString error;
    std::optional<JobOptions> options =
        imapJobOptions(address, destinationOverride, password, &error);
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
        m_store->setValue(job->jobName() + kLastFinished, QDateTime::currentDateTimeUtc());
    }
    m_renderJobs.removeOne(job);
    job->deleteLater();
    Q_EMIT jobListChanged();
    startRenderingWaitingJobs();
}

std::optional<int> ArchiveController::autoJobIntervalSeconds(const QVariant& hoursBetweenUpdates) {
    bool ok = false;
    const double hours = hoursBetweenUpdates.toString().trimmed().toDouble(&ok);
    const double seconds = ok ? hours * 3600 : 0;
    if (seconds == 0) {
        return std::nullopt;
    }
    return static_cast<int>(std::clamp<double>(seconds, kMinAutoSeconds, kMaxAutoSeconds));
}

void ArchiveController::startAutoJobTimer() {
    const std::optional<int> seconds =
        autoJobIntervalSeconds(m_store->value(prefkeys::hoursBetweenUpdates));
    if (!seconds) {
        return;
    }
    if (m_autoJobSeconds != *seconds) {
        m_autoJobSeconds = *seconds;
        m_autoJobClock.start();
        autoJobStep();
    }
}

void ArchiveController::autoJobStep() {
    const qint64 period = qint64(m_autoJobSeconds) * 1000;
    qint64 left = period - m_autoJobClock.elapsed();
    if (left <= 0) {
        m_autoJobClock.start();
        left = period;
        Q_EMIT autoJobsDue();
    }
    m_autoJobTimer.start(static_cast<int>(std::min<qint64>(left, 24LL * 3600 * 1000)));
}

} // namespace tessaly
