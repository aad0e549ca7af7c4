#include "render/localrenderengine.h"

#include "platform/files/atomicfile.h"
#include "platform/pdf/previews.h"
#include "render/attachmentsaver.h"
#include "render/destinationpaths.h"
#include "render/emloutput.h"
#include "render/messagedates.h"
#include "render/messagetags.h"
#include "render/pdfstamp.h"
#include "render/renderlog.h"
#include "render/soundfiles.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QPageSize>

namespace tessaly {

namespace {

constexpr qreal kPxToPt = 0.75; // the engine prints at 96 CSS pixels per inch

// The name the write probe checks before a paged print: beside the final file, unique.
QString probePath(const QString& finalPath) {
    const qint64 micros = (QDateTime::currentMSecsSinceEpoch() - 978307200000LL) * 1000;
    return finalPath + QStringLiteral(".temp%1.pdf").arg(micros);
}

} // namespace

LocalRenderEngine::LocalRenderEngine(JobOptions options, MessageWebView* view, EngineTiming timing,
                                     QObject* parent)
    : MessageToHTMLToPDF(std::move(options), parent)
    , m_view(view)
    , m_timing(std::move(timing))
    , m_viewController(view, m_options) {
    m_clock.start();
    m_checkTimer.setInterval(m_timing.checkIntervalMs);
    connect(&m_checkTimer, &QTimer::timeout, this, &LocalRenderEngine::checkReadiness);
    m_watchdog.setSingleShot(true);
    m_watchdog.setInterval(m_timing.watchdogMs);
    connect(&m_watchdog, &QTimer::timeout, this, &LocalRenderEngine::gaveUpOnRenderOrPrinting);
    // The page is asked as soon as something happens to it; the tick is only the fallback.
    // Queued: the view reports from inside its own bookkeeping.
    connect(m_view, &MessageWebView::loadFinished, this, &LocalRenderEngine::checkReadiness,
            Qt::QueuedConnection);
    connect(m_view, &MessageWebView::resourceLoadsSettled, this, &LocalRenderEngine::checkReadiness,
            Qt::QueuedConnection);
}

LocalRenderEngine::~LocalRenderEngine() {
    shutdown();
}

double LocalRenderEngine::now() const {
    return m_timing.now ? m_timing.now() : m_clock.nsecsElapsed() / 1e9;
}

void LocalRenderEngine::proceed(std::shared_ptr<MCOMessageParser> message) {
    m_phase.start();
    const AttachmentSaver::Outcome saved = AttachmentSaver::startOnAttachmentsFolder(
        *message, m_mainFolder, m_mailFolder, m_options, m_mailappAttachments);
    QHash<QString, QByteArray> stored;
    qsizetype next = 0;
    for (const MCOAttachment& part : message->htmlInlineAttachments()) {
        if (part.data.isEmpty() && next < saved.previewsForEmptyInlineParts.size()) {
            stored.insert(part.uniqueID, saved.previewsForEmptyInlineParts[next++]);
        }
    }

    ++m_renderId;
    m_printing = false;
    m_bodyQueryPending = false;
    m_readiness.reset();
    m_watchdog.start();
    m_checkTimer.start();
    m_renderStartTime = now();
    m_timings.attachments = m_phase.nsecsElapsed() / 1e6;
    m_phase.start();
    m_viewController.setTheMessage(std::move(message), std::move(stored));
    m_timings.html = m_phase.nsecsElapsed() / 1e6;
    m_phase.start();
}

void LocalRenderEngine::checkReadiness() {
    if (!m_busyRendering || m_printing || m_bodyQueryPending || !m_checkTimer.isActive()) {
        return;
    }
    const ReadinessPolicy::Step step = m_readiness.next(
        secondsSinceStart(), {m_view->isLoading(), m_view->stillDownloadingResources()});
    if (step == ReadinessPolicy::Step::Reload) {
        qCInfo(lcRender).noquote() << "******* Trying a reload...." << subject();
        m_viewController.reload();
        return;
    }
    if (step != ReadinessPolicy::Step::AskBody) {
        return;
    }
    m_bodyQueryPending = true;
    const quint64 id = m_renderId;
    m_view->bodyInnerHtml([this, alive = lifetime(), id](const QString& body) {
        if (alive.expired() || id != m_renderId) {
            return;
        }
        m_bodyQueryPending = false;
        if (ReadinessPolicy::bodyIsLongEnough(static_cast<int>(body.size())) && m_busyRendering &&
            !m_printing) {
            m_checkTimer.stop();
            createPDFNowThatHTMLIsReady();
        }
    });
}

QPageLayout LocalRenderEngine::pagedLayout() {
    const bool letter = QLocale::system().measurementSystem() == QLocale::ImperialUSSystem;
    return QPageLayout(QPageSize(letter ? QPageSize::Letter : QPageSize::A4), QPageLayout::Portrait,
                       QMarginsF(36, 36, 36, 36), QPageLayout::Point);
}

QPageLayout LocalRenderEngine::singlePageLayout(QSizeF contentsPx, qreal paddingPt) {
    const qreal width = std::max<qreal>(contentsPx.width(), MessageWebView::kViewWidth) * kPxToPt;
    const qreal height = std::max<qreal>(contentsPx.height(), 1) * kPxToPt + paddingPt;
    const QPageSize size(QSizeF(width, height), QPageSize::Point, QString(), QPageSize::ExactMatch);
    return QPageLayout(size, QPageLayout::Portrait, QMarginsF(0, 0, 0, 0), QPageLayout::Point);
}

bool LocalRenderEngine::shouldPrintAsSinglePage(QSizeF contents, qreal frameWidth) {
    return contents.width() > frameWidth && contents.width() > 0 &&
           contents.height() / contents.width() < 2.2;
}

void LocalRenderEngine::createPDFNowThatHTMLIsReady() {
    const auto message = m_current;
    // Worked out when the message started, with the same folders and options.
    const QString path = message ? m_lastPdfPath : QString();
    const double t = secondsSinceStart();
    if (t > 25) {
        qCInfo(lcRender).noquote() << "createPDFNowThatHTMLIsReady -" << QFileInfo(path).fileName()
                                   << "- took" << t << "secs";
    }
    if (!message || path.isEmpty()) {
        doneMakingPDF_EML_Attachments(Outcome::Failed);
        return;
    }
    m_printing = true;
    m_lastPdfPath = path;
    m_timings.waitForPage = m_phase.nsecsElapsed() / 1e6;
    m_phase.start();
    if (shouldPrintAsSinglePage(m_view->contentsSize(), m_view->frameWidth())) {
        printSinglePage(path, 0);
    } else {
        printPaged(path);
    }
}

void LocalRenderEngine::printPaged(const QString& path) {
    const quint64 id = m_renderId;
    try {
        DestinationPaths::testDestinationFilePath(probePath(path));
    } catch (const UnwritablePathError& error) {
        qCWarning(lcRender).noquote() << "PDF path" << error.path() << "," << error.error();
        QTimer::singleShot(m_timing.unwritableRetryDelayMs, this, [this, id, path] {
            if (id == m_renderId) {
                printed(path, QByteArray(), false);
            }
        });
        return;
    }
    m_view->printToPdf(pagedLayout(), [this, alive = lifetime(), id, path](const QByteArray& pdf) {
        if (!alive.expired() && id == m_renderId) {
            printed(path, pdf, false);
        }
    });
}

void LocalRenderEngine::printSinglePage(const QString& path, int attempt) {
    const quint64 id = m_renderId;
    const QSizeF contents = m_view->contentsSize();
    // The engine rounds page sizes; a little extra height keeps the page from spilling onto a
    // second one, and more is tried when it still does.
    const qreal padding = (contents.height() * kPxToPt * 0.001 + 2) * (1 << attempt);
    m_view->printToPdf(singlePageLayout(contents, padding),
                       [this, alive = lifetime(), id, path, attempt](const QByteArray& pdf) {
                           if (alive.expired() || id != m_renderId) {
                               return;
                           }
                           if (!pdf.isEmpty() && Previews::pdfPageCount(pdf) > 1 && attempt < 3) {
                               printSinglePage(path, attempt + 1);
                               return;
                           }
                           printed(path, pdf, true);
                       });
}

void LocalRenderEngine::printed(const QString& path, const QByteArray& pdf, bool singlePageTried) {
    m_timings.print += m_phase.nsecsElapsed() / 1e6;
    m_phase.start();
    // The attributes go in before the file is written: the PDF is written once, and a PDF at
    // its path is always a stamped one.
    if (pdf.size() >= SoundFiles::kMinPdfBytes) {
        const std::optional<QDateTime> date =
            MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(m_current->header());
        const std::optional<QByteArray> stamped = PdfStamp::stamped(pdf, m_current->header(), date);
        const WriteOutcome written =
            writeFileAtomically(path, stamped ? *stamped : pdf, ExistingFile::Replace);
        if (written.written()) {
            finishMadePdf(path, date);
            return;
        }
        qCWarning(lcRender).noquote() << "failed to print" << path << written.error;
    } else if (pdf.isEmpty()) {
        qCWarning(lcRender).noquote() << "failed to print" << path;
    }
    if (!singlePageTried) {
        qCInfo(lcRender).noquote()
            << "Created PDF without page breaks as it is a hard to manage email:" << path;
        printSinglePage(path, 0);
        return;
    }
    failWithoutPdf(path);
}

void LocalRenderEngine::failWithoutPdf(const QString& path) {
    if (m_current) {
        if (EmlOutput::saveEMLData(m_current->data(), path).written()) {
            qCInfo(lcRender).noquote()
                << "Created eml file as it proved impossible to render: " << path << " eml";
        }
        recordFailure();
    }
    m_lastPdfPath.clear();
    doneMakingPDF_EML_Attachments(Outcome::Failed);
}

void LocalRenderEngine::finishMadePdf(const QString& path, const std::optional<QDateTime>& date) {
    if (date && !setFileModificationTime(path, *date)) {
        qCWarning(lcRender).noquote() << "cannot set the date of" << path;
    }
    if (!MessageTags::addAppleTags(m_current->header(), path)) {
        qCInfo(lcRender).noquote() << "PDF kept without its tags:" << path;
    }
    incrementPDFCount();
    if (EmlOutput::writeEMLMessage(*m_current, m_mainFolder, m_mailFolder, m_options).isEmpty() &&
        m_options.emlFormat.size() >= DestinationPaths::kMinFormatLength) {
        qCWarning(lcRender).noquote() << "no EML copy beside" << path;
    }
    m_timings.finish = m_phase.nsecsElapsed() / 1e6;
    doneMakingPDF_EML_Attachments(Outcome::Made);
}

void LocalRenderEngine::gaveUpOnRenderOrPrinting() {
    const double t = secondsSinceStart();
    const QString title = subject();
    doneMakingPDF_EML_Attachments(Outcome::GivenUp);
    qCWarning(lcRender).noquote() << "gaveUpOnRenderOrPrinting -" << title << "- at" << t
                                  << "seconds";
}

void LocalRenderEngine::stopCurrentWork() {
    // The check timer goes too: left running it could print a later message of this engine
    // at the wrong time.
    m_checkTimer.stop();
    m_watchdog.stop();
    ++m_renderId;
    m_printing = false;
    m_bodyQueryPending = false;
    m_view->resetDownloadingStuff();
}

bool LocalRenderEngine::busyDoingSomething() {
    return m_busyRendering || m_view->stillDownloadingResources();
}

void LocalRenderEngine::shutdown() {
    stopCurrentWork();
    m_busyRendering = false;
    m_viewController.shutdown();
}

} // namespace tessaly
