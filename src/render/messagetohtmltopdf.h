#pragma once

#include "render/joboptions.h"
#include "platform/mail/mcomessageparser.h"
#include "platform/web/messagewebview.h"
#include "render/msgviewcontroller.h"
#include "render/renderboxclient.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPageLayout>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace tessaly {

// Timers and "now" of an engine, replaceable so tests need not wait.
struct EngineTiming {
    int checkIntervalMs = 800;
    int watchdogMs = 300'000;
    int unwritableRetryDelayMs = 3000;
    // Seconds on a monotonic clock.
    std::function<double()> now;
};

// Where the time of one message went, in milliseconds: our own work and the engine's.
struct RenderTimings {
    double attachments = 0; // saving parts (ours)
    double html = 0;        // laying the message out as HTML and handing it over (ours)
    double waitForPage = 0; // from loading until the readiness test passed (the engine, and
                            // the check timer's period)
    double print = 0;       // the engine's printing, all attempts
    double finish = 0;      // writing the PDF, attributes, date, tags, EML copy (ours)
};

// Renders one message at a time to a PDF with its attachments, tags and EML copy: lays it out
// in the off-screen page, waits until the page is very likely complete, prints, checks the
// result and falls back to a single tall page and then to an EML copy. Progress is polled with
// busyDoingSomething(); a failure is collected with getAndClearFailedMessage().
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

    // A local engine: it lays messages out in the view, which the caller owns and which must
    // outlive the engine.
    MessageToHTMLToPDF(JobOptions options, MessageWebView* view, EngineTiming timing = {},
                       QObject* parent = nullptr);
    // An engine of the main process: every message that needs work goes to its render box.
    MessageToHTMLToPDF(JobOptions options, std::unique_ptr<RenderBoxClient> renderBox,
                       QObject* parent = nullptr);
    ~MessageToHTMLToPDF() override;

    void startRender(std::shared_ptr<MCOMessageParser> message, const QString& mainFolder,
                     const QString& mailFolder, bool isRetry, const QString& jobName,
                     const QString& mailappAttachments);
    // The render box's entry: raw bytes, rendered here.
    void renderSingleEMLMessage(const QByteArray& data, const QString& mainFolder,
                                const QString& mailFolder, const QString& jobName,
                                const QString& mailappAttachments);

    bool busyDoingSomething();
    // How the last message ended, once, after it ended; nothing while busy or already taken.
    std::optional<Outcome> takeFinishedOutcome();
    std::optional<FailedMessage> getAndClearFailedMessage(bool* isRetry);
    std::shared_ptr<MCOMessageParser> currentMessage() const;
    void shutdown();
    // Lets a render box start ending before shutdown() waits for it.
    void prepareShutdown();

    // How the last message ended, and its PDF path (empty when it has none).
    Outcome lastOutcome() const { return m_outcome; }
    const QString& lastPdfPath() const { return m_lastPdfPath; }
    const RenderTimings& lastTimings() const { return m_timings; }

    const JobOptions& options() const { return m_options; }

    // The engine's page sizes: the user's usual paper for paged output.
    static QPageLayout pagedLayout();
    static QPageLayout singlePageLayout(QSizeF contentsPx, qreal paddingPt);
    // One tall page when the page is wider than the view and not very tall for its width.
    static bool shouldPrintAsSinglePage(QSizeF contents, qreal frameWidth);

Q_SIGNALS:
    // A PDF was made (or, for the EML-only route, the message was written): the job counts it.
    void anotherPDFMade(const QString& jobName);
    void becameIdle();

private:
    enum class Readiness { NotReady, AskBody };

    void setUpTimers();
    void proceed(std::shared_ptr<MCOMessageParser> message);
    Outcome outcomeOfRenderBox(bool boxFailed) const;
    void localRender(std::shared_ptr<MCOMessageParser> message);
    bool emlOnlyRoute(const std::shared_ptr<MCOMessageParser>& message);
    void checkTimerTick();
    Readiness readiness(double seconds);
    void createPDFNowThatHTMLIsReady();
    void printPaged(const QString& path);
    void printSinglePage(const QString& path, int attempt);
    void printingToPDFComplete(const QString& path, bool singlePageTried);
    void finishMadePdf(const QString& path);
    void failWithoutPdf(const QString& path);
    void gaveUpOnRenderOrPrinting();
    void doneMakingPDF_EML_Attachments(Outcome outcome);
    void incrementPDFCount();
    double now() const;
    double secondsSinceStart() const { return now() - m_renderStartTime; }
    QString subject() const;

    JobOptions m_options;
    MessageWebView* m_view;
    EngineTiming m_timing;
    QElapsedTimer m_clock;
    std::unique_ptr<MCTMsgViewController> m_viewController;
    std::unique_ptr<RenderBoxClient> m_renderBox;
    bool m_renderBoxInUse = false;
    bool m_outcomeTaken = true;
    std::shared_ptr<MCOMessageParser> m_current;
    QTimer m_checkTimer;
    QTimer m_watchdog;

    bool m_busyRendering = false;
    bool m_isRetry = false;
    bool m_printing = false;
    bool m_bodyQueryPending = false;
    quint64 m_renderId = 0; // late callbacks of an earlier message are recognised and ignored
    std::optional<FailedMessage> m_failedMessage;
    QString m_jobName;
    QString m_mainFolder;
    QString m_mailFolder;
    double m_renderStartTime = 0;
    int m_reloadCount = 0;
    Outcome m_outcome = Outcome::None;
    QString m_lastPdfPath;
    QString m_mailappAttachments;
    RenderTimings m_timings;
    QElapsedTimer m_phase;
};

} // namespace tessaly
