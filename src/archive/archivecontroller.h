#pragma once

#include "archive/job/rendertool.h"
#include "archive/joboptionsbuilder.h"
#include "archive/jobscheduler.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

namespace tessaly {

class EmailSettings;
class NotificationCenter;
class PreferenceStore;

// The job list without its view: builds jobs from sources and dropped files, runs at most
// `maxNumRenderJobs` at once, counts the PDFs each job makes (also those made in render boxes)
// and records when jobs finish. Its scheduler re-runs the sources. Windows and command-line
// tools show what it holds; it never asks the user anything itself.
//
// Failures come back one way per kind of call: a one-off job that cannot be made returns
// nothing and sets the reason through `why`; a stored source that cannot start (found out at
// once, or after its password command answered) is told through sourceNotStarted.
class ArchiveController : public QObject {
    Q_OBJECT

public:
    // The general destination folder, or empty when none is known.
    using DestinationProvider = JobOptionsBuilder::DestinationProvider;

    ArchiveController(PreferenceStore* store, NotificationCenter* center,
                      RenderTool::Environment environment, DestinationProvider destination,
                      QObject* parent = nullptr);
    ~ArchiveController() override;

    // An EML job for dropped or opened files. `destFolder` is the chosen folder (the job's
    // override), `jobName` may be empty. `adjust` may change the record before the job exists.
    // Returns the job, or nothing with the reason in `why`.
    RenderTool* startEMLJob(const QStringList& paths, const QString& destFolder,
                            const QString& jobName,
                            const std::function<void(JobOptions&)>& adjust = {},
                            QString* why = nullptr);
    static QString oneOffJobName(int fileCount, const QString& destFolderOverride,
                                 const QString& generalDestination);
    const JobOptionsBuilder& optionsBuilder() const { return m_options; }

    // Where accounts are read from; without it, accounts are not archived.
    void setAccounts(EmailSettings* accounts);
    // Every account, then every folder source, in the order they were added.
    QStringList emailANDFolderAccounts() const { return emailANDFolderAccounts(*m_store); }
    static QStringList emailANDFolderAccounts(const PreferenceStore& store);
    // Starts every source that is not running yet (also the schedule's action).
    void startArchiving();
    // Starts one source: an account address, or a folder source's path ("/..."). A source
    // that is running already is left alone. An account's password command runs first, so
    // its job may be listed a moment later.
    void startArchiving(const QString& source);

    void startRenderingWaitingJobs();
    void stopArchiving(const QString& jobName);
    void removeRenderEngine(const QString& jobName);
    // Removes this very job: one-off jobs may share a name (the same number of files dropped
    // on the same folder), and a finished job must never take a waiting namesake with it.
    void removeRenderJob(RenderTool* job);
    RenderTool* renderToolForjobName(const QString& jobName) const;
    const QList<RenderTool*>& renderJobs() const { return m_renderJobs; }
    int numDoneThisSession(const QString& jobName) const;

    // When the sources run by themselves, and the sleep lock while jobs exist.
    JobScheduler& scheduler() { return *m_scheduler; }

Q_SIGNALS:
    void jobFinished(RenderTool* job);
    void jobListChanged();
    // A render box could not write where the user wants files; the user should be told.
    void unwritablePath(const QString& path, const QString& error);
    // A source could not be started (no password stored, no destination or one that cannot
    // be reached, a password command that failed); nothing was listed for it.
    void sourceNotStarted(const QString& source, const QString& reason);
    // An account's folder list could not be had: shown where the account is edited.
    void errorFolderNames(const QString& account, const QString& error);

private:
    void anotherPDFMade(const QString& jobName);
    RenderTool* addJob(JobOptions options, const QString& jobName);
    // Why a source cannot start now, before anything is asked of it; "" when it may.
    QString folderSourceProblem(const QString& path) const;
    void startFolderJob(const QString& path);
    void startIMAPJob(const QString& address);
    void createIMAPJob(const QString& address, const QString& destinationOverride,
                       const QString& password);
    // Why no job can run without a session bus, or "" with one.
    QString busProblem() const;
    void writeNumDone();
    void resetNumDone(const QString& jobName);
    void onNotification(const QString& name, const QString& sealedObject);
    // The source's own destination as stored; reported unreachable when its drive is away.
    FolderLookup ownDestination(const QString& sourceKey) const;

    PreferenceStore* m_store;
    EmailSettings* m_accounts = nullptr;
    // Accounts whose password command is running: a second start waits for the first, and a
    // stop ends the command so that no job appears after it.
    QHash<QString, QObject*> m_startingAccounts;
    NotificationCenter* m_center;
    RenderTool::Environment m_environment;
    JobOptionsBuilder m_options;
    QList<RenderTool*> m_renderJobs;
    // PDFs made this session by job name, written to the preferences now and then.
    QHash<QString, int> m_numDone;
    QTimer m_numDoneWriter;
    JobScheduler* m_scheduler;
    bool m_unwritableReported = false;
};

} // namespace tessaly
