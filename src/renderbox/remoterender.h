#pragma once

#include "platform/clock/clock.h"
#include "render/renderboxclient.h"

#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

namespace tessaly {

class NotificationCenter;

// The main process's end of one render box: a hidden second instance of the application that
// renders messages one at a time, for any job. Messages go through files in a private folder;
// the box says it is done through a notification. A box is replaced after 31 renders or
// 3000 s, and when it dies during a render the message is kept as an emergency EML copy.
class RemoteRender : public RenderBoxClient {
    Q_OBJECT

public:
    static constexpr int kMaxRendersPerBox = 31;
    static constexpr int kMaxBoxSeconds = 3000;

    // `boxProgram` is the application executable; `runtimeFolder` the private folder. A box's
    // lifetime is counted on `clock`.
    RemoteRender(NotificationCenter* center, const QString& runtimeFolder, QString boxProgram,
                 Clock& clock = Clock::system(), QObject* parent = nullptr);
    ~RemoteRender() override;

    void renderPDF(const QByteArray& data, const QString& mainFolder, const QString& mailFolder,
                   const JobOptions& options, const QString& jobName,
                   const QString& mailappAttachments, const ClaimedName& name) override;
    bool busyWorkingOnRender() override;
    bool failed() override;
    std::optional<RenderBoxResult> takeResult() override;
    void quitRenderbox() override;
    void askToQuit() override;

    // Starts the box ahead of its first render, so that its start-up overlaps other work.
    void launchRenderbox();
    // The same, a little later: launches are spread over turns of the event loop.
    void launchSoon();
    // For the launch pacer: the launch asked for with launchSoon, unless it was called off.
    void launchIfPending();
    // Whether a box runs, or is about to be started.
    bool running() const;
    const QString& renderboxID() const { return m_id; }
    const QString& renderboxFolder() const { return m_folder; }
    qint64 boxProcessId() const;
    int launches() const { return m_launches; }
    // Box processes of this object still alive: the current one and any told to end.
    int liveProcesses() const;

    // The box processes of this object, the current one and any told to end, which it no
    // longer watches: to be ended by the caller.
    std::vector<std::unique_ptr<QProcess>> takeProcesses();
    // Ends processes that were told to quit: each gets the same grace period, all at once,
    // before it is terminated, and then killed.
    static void endTogether(std::vector<std::unique_ptr<QProcess>>& processes);

    // What a box is started with: its id and folder, nothing of any job.
    static QStringList launchArguments(const QString& id, const QString& folder);
    // The job file of one render: the job without its secrets, and where the message is.
    static QJsonObject jobDictionary(const JobOptions& options, const QString& jobName,
                                     const QString& mainFolder, const QString& mailFolder,
                                     const QString& emlPath, const QString& attachments,
                                     const QString& jobId, const ClaimedName& name);
    // A box's answer file, read; nothing when it is missing or damaged.
    static std::optional<RenderBoxResult> readResult(const QString& path);
    // The program to start as a box: $TESSALY_RENDERBOX_PROGRAM, else "tessaly" beside or one
    // folder above this executable, else on PATH.
    static QString defaultBoxProgram();

Q_SIGNALS:
    void processStarted();
    void processEnded();

private:
    bool processRunning() const;
    bool needsLaunch() const;
    void retire(std::unique_ptr<QProcess> process);
    void handleFail();
    // The message is kept as an emergency copy beside its name: the box cannot give a PDF.
    // The render is over once the copy is written.
    void keepEmergencyCopy(const QString& why);
    void onNotification(const QString& name, const QString& sealedObject);

    NotificationCenter* m_center;
    QString m_id;
    QString m_folder;
    QString m_program;
    std::unique_ptr<QProcess> m_task;
    std::vector<std::unique_ptr<QProcess>> m_retiring;
    std::unique_ptr<ClockTimer> m_maxTaskTimer;
    int m_renderCountOnCurrentTask = 0;
    int m_launches = 0;
    bool m_busyWorking = false;
    QString m_currentFile;
    bool m_failHandled = false;
    bool m_retireBeforeNextRender = false;
    bool m_launchPending = false;
    bool m_replaceProcess = false; // the launch pending ends the running box first
    bool m_currentDone = false;    // the box reported the current render done
    QString m_startError;          // why the last box launched could not start
    std::optional<RenderBoxResult> m_result;
    // The current render, kept until the box reports it done, for an emergency copy.
    struct Render {
        QByteArray data;
        QString mainFolder;
        QString mailFolder;
        QString jobName;
        JobOptions options;
        ClaimedName name;
    };
    Render m_current;
    bool m_copying = false; // an emergency copy is being written
    // Writes the copy, on a worker thread.
    static RenderBoxResult emergencyCopy(const Render& current, const QString& why,
                                         const QString& boxId);
    QStringList m_renderedFiles;
    QStringList m_renderedFilesWorked;
};

} // namespace tessaly
