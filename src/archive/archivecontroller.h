#pragma once

#include "archive/rendertool.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVariant>

#include <functional>
#include <optional>

namespace tessaly {

class EmailSettings;
class SleepInhibitor;
class NotificationCenter;
class PreferenceStore;
struct FolderLookup;

// The job list without its view: builds jobs from sources and dropped files, runs at most
// `maxNumRenderJobs` at once, counts the PDFs each job makes (also those made in render boxes),
// records when jobs finish, and re-runs sources on a timer. Windows and command-line tools show
// what it holds; it never asks the user anything itself.
class ArchiveController : public QObject {
    Q_OBJECT

public:
    // The general destination folder, or empty when none is known.
    using DestinationProvider = std::function<QString()>;

    ArchiveController(PreferenceStore* store, NotificationCenter* center,
                      RenderTool::Environment environment, DestinationProvider destination,
                      QObject* parent = nullptr);
    ~ArchiveController() override;

    // An EML job for dropped or opened files. `destFolder` is the chosen folder (the job's
    // override), `jobName` may be empty. `adjust` may change the record before the job exists.
    // Returns the job, or nothing with a reason in lastError().
    RenderTool* startEMLJob(const QStringList& paths, const QString& destFolder,
                            const QString& jobName,
                            const std::function<void(JobOptions&)>& adjust = {});
    JobOptions emlJobOptions(const QStringList& paths, const QString& destFolder,
                             const QString& jobName, QString* error) const;
    static QString oneOffJobName(int fileCount, const QString& destFolderOverride,
                                 const QString& generalDestination);

    // Where accounts are read from; without it, accounts are not archived.
    void setAccounts(EmailSettings* accounts) { m_accounts = accounts; }
    // Every account, then every folder source, in the order they were added.
    QStringList emailANDFolderAccounts() const { return emailANDFolderAccounts(*m_store); }
    static QStringList emailANDFolderAccounts(const PreferenceStore& store);
    // Starts every source that is not running yet (also the auto-job timer's action).
    void startArchiving();
    // Starts one source: an account address, or a folder source's path ("/..."). A source
    // that is running already is left alone.
    void startArchiving(const QString& source);
    // An account's job. A password command runs first, so the job may be listed a moment
    // later; an account that cannot start says why through sourceNotStarted.
    void startIMAPJob(const QString& address, const QString& destinationOverride = {});
    // The account's job record, or nothing with the reason. `password` is the password to
    // sign in with (from the keychain or a password command).
    std::optional<JobOptions> imapJobOptions(const QString& address,
                                             const QString& destinationOverride,
                                             const QString& password, QString* error) const;
    RenderTool* startFolderJob(const QString& path);

    void startRenderingWaitingJobs();
    void stopArchiving(const QString& jobName);
    void removeRenderEngine(const QString& jobName);
    // Removes this very job: one-off jobs may share a name (the same number of files dropped
    // on the same folder), and a finished job must never take a waiting namesake with it.
    void removeRenderJob(RenderTool* job);
    RenderTool* renderToolForjobName(const QString& jobName) const;
    const QList<RenderTool*>& renderJobs() const { return m_renderJobs; }
    int numDoneThisSession(const QString& jobName) const;
    const QString& lastError() const { return m_lastError; }

    // The auto-job timer's period for a stored hoursBetweenUpdates, clamped to 60 s … 30 days;
    // nothing for 0 (a running timer is then left alone).
    static std::optional<int> autoJobIntervalSeconds(const QVariant& hoursBetweenUpdates);

    // Kept while jobs exist (checked every 2 s): 0 when none is held, kNoSleepPrevention
    // after an attempt that failed (none is tried again in this run), else the held lock.
    static constexpr quint32 kNoSleepPrevention = 857583746;
    quint32 preventSleepAssertionID() const { return m_preventSleepAssertionID; }
    void keepComputerFromSleepingIfBusy();
    void startAutoJobTimer();
    int autoJobTimerSeconds() const { return m_autoJobSeconds; }

Q_SIGNALS:
    void jobFinished(RenderTool* job);
    void jobListChanged();
    // A render box could not write where the user wants files; the user should be told.
    void unwritablePath(const QString& path, const QString& error);
    void autoJobsDue();
    // A source could not be started (no password stored, no destination or one that cannot
    // be reached, a password command that failed); nothing was listed for it.
    void sourceNotStarted(const QString& source, const QString& reason);
    // An account's folder list could not be had: shown where the account is edited.
    void errorFolderNames(const QString& account, const QString& error);

private:
    void anotherPDFMade(const QString& jobName);
    RenderTool* addJob(JobOptions options, const QString& jobName);
    void createIMAPJob(const QString& address, const QString& destinationOverride,
                       const QString& password);
    void writeNumDone();
    void resetNumDone(const QString& jobName);
    void onNotification(const QString& name, const QString& sealedObject);
    // The source's own destination as stored; reported unreachable when its drive is away.
    FolderLookup ownDestination(const QString& sourceKey) const;
    // Why a job must not write into `general` (the stored general destination, not there
    // now), or "" when it may.
    QString generalDestinationProblem(const QString& general) const;

    PreferenceStore* m_store;
    EmailSettings* m_accounts = nullptr;
    // Accounts whose password command is running: a second start waits for the first, and a
    // stop ends the command so that no job appears after it.
    QHash<QString, QObject*> m_startingAccounts;
    NotificationCenter* m_center;
    RenderTool::Environment m_environment;
    DestinationProvider m_destination;
    QList<RenderTool*> m_renderJobs;
    // PDFs made this session by job name, written to the preferences now and then.
    QHash<QString, int> m_numDone;
    QTimer m_numDoneWriter;
    // Thirty days of milliseconds overflow a QTimer: it runs in steps and counts the time.
    QTimer m_autoJobTimer;
    QElapsedTimer m_autoJobClock;
    int m_autoJobSeconds = 0;
    void autoJobStep();
    QTimer m_sleepCheck;
    SleepInhibitor* m_sleepInhibitor = nullptr;
    quint32 m_preventSleepAssertionID = 0;
    QString m_lastError;
    bool m_unwritableReported = false;
};

} // namespace tessaly
