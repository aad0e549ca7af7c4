#pragma once

#include "platform/files/filerecord.h"
#include "platform/mail/mcomessageparser.h"
#include "render/attachmentsaver.h"
#include "render/joboptions.h"
#include "render/messageoutcome.h"

#include <QObject>

#include <memory>
#include <optional>
#include <vector>

namespace tessaly {

// Where the time of one message went, in milliseconds: our own work and the engine's.
struct RenderTimings {
    double attachments = 0; // saving parts (ours)
    double html = 0;        // laying the message out as HTML and handing it over (ours)
    double waitForPage = 0; // from loading until the page was ready (the layout engine)
    double print = 0;       // the engine's printing, all attempts
    double finish = 0;      // writing the PDF, attributes, date, tags, EML copy (ours)
};

// The name a message was given before it was handed out: its PDF path (or EML path when PDFs
// are off) with the number it took when another message already had the name.
struct ClaimedName {
    QString path;
    int number = 1;
    bool replace = false; // a damaged file of no known message may be replaced
};

// Renders one message at a time: decides whether the message needs work at all (a sound PDF
// is already there, or only an EML copy is wanted), and hands everything else to the
// subclass: a local engine that lays the page out and prints it here, or an engine whose
// renders happen in a render box. Progress is polled with busyDoingSomething(), or followed
// through becameIdle(); a failure is collected with getAndClearFailedMessage().
class MessageToHTMLToPDF : public QObject {
    Q_OBJECT

public:
    using Outcome = MessageOutcome;
    struct FailedMessage {
        std::shared_ptr<MCOMessageParser> message;
        QString mailFolder;
    };

    explicit MessageToHTMLToPDF(JobOptions options, QObject* parent = nullptr);
    ~MessageToHTMLToPDF() override;

    // Begins one message. A busy engine refuses it, says so, and leaves its current render
    // exactly as it was: false.
    [[nodiscard]] bool startRender(std::shared_ptr<MCOMessageParser> message,
                                   const QString& mainFolder, const QString& mailFolder,
                                   bool isRetry, const QString& jobName,
                                   const QString& mailappAttachments);
    // The name the message of the next startRender was given by the caller (worked out with
    // the same folders and options); only that call uses it.
    void setClaimedName(ClaimedName name) { m_claimedName = std::move(name); }
    // The render box's entry: raw bytes, rendered here.
    [[nodiscard]] bool renderSingleEMLMessage(const QByteArray& data, const QString& mainFolder,
                                              const QString& mailFolder, const QString& jobName,
                                              const QString& mailappAttachments);

    virtual bool busyDoingSomething() = 0;
    // How the last message ended, once, after it ended; nothing while busy or already taken.
    std::optional<Outcome> takeFinishedOutcome();
    std::optional<FailedMessage> getAndClearFailedMessage(bool* isRetry);
    std::shared_ptr<MCOMessageParser> currentMessage() const { return m_current; }
    // Stops everything; a render in progress is abandoned.
    virtual void shutdown() {}
    // Lets a render box start ending before shutdown() waits for it.
    virtual void prepareShutdown() {}

    // How the last message ended, why (unless made or skipped), its PDF path (or EML path
    // when PDFs are off; the numbered name it ended up with) and every file written for it.
    Outcome lastOutcome() const { return m_outcome; }
    const QString& lastReason() const { return m_reason; }
    const QString& lastPdfPath() const { return m_lastPdfPath; }
    const std::vector<FileRecord>& lastFiles() const { return m_files; }
    const RenderTimings& lastTimings() const { return m_timings; }
    const JobOptions& options() const { return m_options; }

Q_SIGNALS:
    // A PDF was made (or, for the EML-only route, the message was written): the job counts it.
    void anotherPDFMade(const QString& jobName);
    void becameIdle();

protected:
    // The message needs its PDF: render it, and end with doneMakingPDF_EML_Attachments().
    virtual void proceed(std::shared_ptr<MCOMessageParser> message) = 0;
    // Stops whatever the subclass runs for the current message.
    virtual void stopCurrentWork() {}

    void doneMakingPDF_EML_Attachments(Outcome outcome);
    void incrementPDFCount();
    void recordFailure() { m_failedMessage = FailedMessage{m_current, m_mailFolder}; }
    QString subject() const;
    // A file written for the current message (its digest is taken when the message ends).
    void addWrittenFile(const QString& path) { m_writtenPaths.append(path); }
    // A file of the current message found in place (written by an earlier attempt): recorded
    // with it, and never removed by it.
    void addKeptFile(const QString& path) { m_keptPaths.append(path); }
    // The attachments saved for the current message; false (with the reason set) when some
    // could not be written.
    bool tookSavedAttachments(const AttachmentSaver::Outcome& saved);
    // Removes the files written so far for the current message (it moves to another name).
    void removeWrittenFiles();
    // The unnumbered PDF path of the current message (worked out when first asked).
    const QString& basePdfPath();

    const JobOptions m_options;
    std::shared_ptr<MCOMessageParser> m_current;
    bool m_busyRendering = false;
    QString m_jobName;
    QString m_mainFolder;
    QString m_mailFolder;
    QString m_mailappAttachments;
    QString m_lastPdfPath;
    QString m_basePdfPath;
    int m_number = 1;
    bool m_replaceExisting = false;
    bool m_claimed = false;
    QString m_reason;
    QStringList m_writtenPaths;
    QStringList m_keptPaths;
    std::vector<FileRecord> m_files;
    RenderTimings m_timings;

private:
    bool emlOnlyRoute(const std::shared_ptr<MCOMessageParser>& message);

    bool m_isRetry = false;
    std::optional<ClaimedName> m_claimedName;
    bool m_outcomeTaken = true;
    std::optional<FailedMessage> m_failedMessage;
    Outcome m_outcome = Outcome::None;
};

} // namespace tessaly
