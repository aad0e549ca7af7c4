#pragma once

#include "platform/mail/mcomessageparser.h"
#include "render/joboptions.h"

#include <QObject>

#include <memory>
#include <optional>

namespace tessaly {

// Where the time of one message went, in milliseconds: our own work and the engine's.
struct RenderTimings {
    double attachments = 0; // saving parts (ours)
    double html = 0;        // laying the message out as HTML and handing it over (ours)
    double waitForPage = 0; // from loading until the page was ready (the layout engine)
    double print = 0;       // the engine's printing, all attempts
    double finish = 0;      // writing the PDF, attributes, date, tags, EML copy (ours)
};

// Renders one message at a time: decides whether the message needs work at all (a sound PDF
// is already there, or only an EML copy is wanted), and hands everything else to the
// subclass: a local engine that lays the page out and prints it here, or an engine whose
// renders happen in a render box. Progress is polled with busyDoingSomething(), or followed
// through becameIdle(); a failure is collected with getAndClearFailedMessage().
class MessageToHTMLToPDF : public QObject {
    Q_OBJECT

public:
    enum class Outcome {
        None,
        Made,            // a sound PDF was made
        AlreadyArchived, // a sound PDF (or, EML-only, a sound EML) was already there
        EmlOnly,         // written by the EML-only route
        Failed,          // no PDF; the raw message was kept as EML beside its path
        GivenUp,         // the watchdog ended it; nothing written
        Nothing,         // both formats are off
        EmergencyEml,    // the render box failed on it; an emergency EML copy is there
        NotArchived,     // the render box gave no PDF and no copy (e.g. gave up)
        Unreadable,      // no message could be made of the file
    };
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
    // The PDF path of the message the next startRender gets, already worked out by the caller
    // with the same folders and options; only that call uses it.
    void setKnownPdfPath(const QString& path) { m_knownPdfPath = path; }
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

    // How the last message ended, and its PDF path (empty when it has none).
    Outcome lastOutcome() const { return m_outcome; }
    const QString& lastPdfPath() const { return m_lastPdfPath; }
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

    const JobOptions m_options;
    std::shared_ptr<MCOMessageParser> m_current;
    bool m_busyRendering = false;
    QString m_jobName;
    QString m_mainFolder;
    QString m_mailFolder;
    QString m_mailappAttachments;
    QString m_lastPdfPath;
    RenderTimings m_timings;

private:
    bool emlOnlyRoute(const std::shared_ptr<MCOMessageParser>& message);

    bool m_isRetry = false;
    QString m_knownPdfPath;
    bool m_outcomeTaken = true;
    std::optional<FailedMessage> m_failedMessage;
    Outcome m_outcome = Outcome::None;
};

} // namespace tessaly
