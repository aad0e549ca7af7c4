#pragma once

#include "platform/web/messagewebview.h"
#include "render/messagetohtmltopdf.h"
#include "render/msgviewcontroller.h"
#include "render/readinesspolicy.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QPageLayout>
#include <QTimer>

#include <functional>

namespace tessaly {

// Timers and "now" of a local engine, replaceable so tests need not wait.
struct EngineTiming {
    int checkIntervalMs = ReadinessPolicy::kFallbackTickMs;
    int watchdogMs = static_cast<int>(ReadinessPolicy::kGiveUpSeconds * 1000);
    int unwritableRetryDelayMs = 3000;
    // Seconds on a monotonic clock.
    std::function<double()> now;
};

// Renders here, in an off-screen page: saves the attachments, lays the message out, prints as
// soon as the page is ready, checks the result and falls back to a single tall page and then
// to an EML copy; then stamps the PDF and writes tags and the EML copy.
class LocalRenderEngine : public MessageToHTMLToPDF {
    Q_OBJECT

public:
    // The view is the caller's and must outlive the engine.
    LocalRenderEngine(JobOptions options, MessageWebView* view, EngineTiming timing = {},
                      QObject* parent = nullptr);
    ~LocalRenderEngine() override;

    bool busyDoingSomething() override;
    void shutdown() override;

    // The engine's page sizes: the user's usual paper for paged output.
    static QPageLayout pagedLayout();
    static QPageLayout singlePageLayout(QSizeF contentsPx, qreal paddingPt);
    // One tall page when the page is wider than the view and not very tall for its width.
    static bool shouldPrintAsSinglePage(QSizeF contents, qreal frameWidth);

protected:
    void proceed(std::shared_ptr<MCOMessageParser> message) override;
    void stopCurrentWork() override;

private:
    void checkReadiness();
    void createPDFNowThatHTMLIsReady();
    void printPaged(const QString& path);
    void printSinglePage(const QString& path, int attempt);
    void printed(const QString& path, const QByteArray& pdf, bool singlePageTried);
    enum class Published { Yes, No, GaveUp };
    Published publish(const QByteArray& pdf, const std::optional<QDateTime>& date, QString* error);
    bool saveAttachments(QHash<QString, QByteArray>* stored);
    bool moveToNextName();
    void finishMadePdf();
    void failWithoutPdf(const QString& path, const QString& reason);
    void gaveUpOnRenderOrPrinting();
    double now() const;
    // The page outlives engines (a render box makes a new engine for another job's options):
    // what it calls back holds this, and does nothing once the engine is gone.
    std::weak_ptr<void> lifetime() const { return m_lifetime; }
    double secondsSinceStart() const { return now() - m_renderStartTime; }

    MessageWebView* m_view;
    EngineTiming m_timing;
    QElapsedTimer m_clock;
    MCTMsgViewController m_viewController;
    ReadinessPolicy m_readiness;
    QTimer m_checkTimer;
    QTimer m_watchdog;
    bool m_printing = false;
    bool m_bodyQueryPending = false;
    quint64 m_renderId = 0; // late callbacks of an earlier message are recognised and ignored
    double m_renderStartTime = 0;
    QElapsedTimer m_phase;
    std::shared_ptr<void> m_lifetime = std::make_shared<int>(0);
};

} // namespace tessaly
