#pragma once

#include "archive/fileexpansion.h"
#include "render/joboptions.h"
#include "render/messagetohtmltopdf.h"

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

namespace tessaly {

// What happened to the messages of one job so far.
struct JobFigures {
    int found = 0;
    int handedOut = 0;
    int pdfsMade = 0;
    int alreadyArchived = 0;
    int emergencyEml = 0;
    int emlOnly = 0;
    int failedTwice = 0;
    int unreadable = 0;
    int notArchived = 0;
};

// The driver of one archive job: hands the job's messages to a pool of render engines on a
// 0.12 s tick, collects failures for one retry, and completes when every message has been
// handed out, every failure retried and no engine is busy. This is its EML mode: the messages
// come from the job's files, folders and mailboxes.
class RenderTool : public QObject {
    Q_OBJECT

public:
    using EngineFactory = std::function<std::unique_ptr<MessageToHTMLToPDF>(const JobOptions&)>;
    struct Environment {
        QString splitRoot; // where mailbox messages are split to (the private runtime folder)
        EngineFactory makeEngine;
        int poolSize = 16;
        int tickMs = 120;
    };

    RenderTool(JobOptions options, Environment environment, QObject* parent = nullptr);
    ~RenderTool() override;

    void setJobName(const QString& name) { m_jobName = name; }
    const QString& jobName() const { return m_jobName; }
    const JobOptions& options() const { return m_options; }

    void renderPDFs();
    void cancel();

    bool waiting() const { return m_isWaiting; }
    bool allFinished() const { return m_allDone; }
    bool wasCancelled() const { return m_isCanceled; }
    const QString& operationDescription() const { return m_operationDescription; }
    // The status line with its numbers filled in: handed out, total, and PDFs made this run.
    QString statusText(int numDone) const;
    double fractionDone() const { return m_fractionDone; }
    int numEmailsArchived() const { return m_numEmailsArchived; }
    int totalEmailCount() const { return m_totalEmailCount; }
    JobFigures figures() const;
    // Where the job's error report was written, if it needed one.
    const QString& errorReportPath() const { return m_errorReportPath; }

    static QString commonAncestorEMLPaths(const QStringList& paths);
    static bool keepFolderDueToName(const QString& name);
    QString emlSubFolder(const QString& path) const;
    QString getMainFolder() const;
    std::shared_ptr<MCOMessageParser> makeMCOMessage(const QString& path,
                                                     QString* mailappAttachments) const;
    // The work list as the expansion's two lists combine it.
    static QStringList combineLists(const QStringList& emls, const QStringList& emlxs);

    void setCommonBasePath(const QString& path) { m_commonBasePath = path; }

Q_SIGNALS:
    void finished();

private:
    struct WorkItem {
        QString path;
        QString unreadableReason; // set for what the expansion could not make into a file
    };
    struct Failure {
        MessageToHTMLToPDF::FailedMessage record;
        QString path;
    };

    void renderTimer();
    void renderEMLFiles();
    void recordFailedMessages();
    void collectOutcomes(MessageToHTMLToPDF& engine);
    bool tryAEMLRender(int index);
    void checkForAllDone();
    bool anyEngineBusy();
    void writeErrorReport();
    void cleanup();

    JobOptions m_options;
    Environment m_environment;
    QString m_jobName;
    bool m_allDone = false;
    bool m_isCanceled = false;
    bool m_isWaiting = true;
    bool m_gettingFileList = false;
    QString m_operationDescription = QStringLiteral("Waiting");
    double m_fractionDone = 0;
    int m_numEmailsArchived = 0;
    int m_totalEmailCount = 0;
    QList<WorkItem> m_emlToRender;
    QString m_commonBasePath;
    QTimer m_timer;
    std::vector<std::unique_ptr<MessageToHTMLToPDF>> m_renderEngines;
    std::vector<QString> m_engineSource; // the file each engine is rendering
    QList<Failure> m_failedMessages;
    QList<Failure> m_abandonedMessages;
    QStringList m_unreadable;
    JobFigures m_figures;
    QString m_errorReportPath;
    QFutureWatcher<FileExpansion::Result> m_expansion;
};

} // namespace tessaly
