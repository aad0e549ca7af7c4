#include "render/messagetohtmltopdf.h"

#include "platform/files/atomicfile.h"
#include "render/attachmentsaver.h"
#include "render/destinationpaths.h"
#include "render/emloutput.h"
#include "render/messagedates.h"
#include "render/messagetags.h"
#include "render/pdfstamp.h"
#include "platform/pdf/previews.h"
#include "render/renderlog.h"
#include "render/soundfiles.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QPageSize>

namespace tessaly {

namespace {

constexpr int kMinBodyLength = 200;
constexpr qreal kPxToPt = 0.75; // the engine prints at 96 CSS pixels per inch

bool formatEnabled(const QString& format) {
    return format.size() >= DestinationPaths::kMinFormatLength;
}

// The name the write probe checks before a paged print: beside the final file, unique.
QString probePath(const QString& finalPath) {
    const qint64 micros = (QDateTime::currentMSecsSinceEpoch() - 978307200000LL) * 1000;
    return finalPath + QStringLiteral(".temp%1.pdf").arg(micros);
}

} // namespace

MessageToHTMLToPDF::MessageToHTMLToPDF(JobOptions options, MessageWebView* view,
                                       EngineTiming timing, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_view(view)
    , m_timing(std::move(timing))
    , m_viewController(std::make_unique<MCTMsgViewController>(view, m_options)) {
    setUpTimers();
}

MessageToHTMLToPDF::MessageToHTMLToPDF(JobOptions options,
                                       std::unique_ptr<RenderBoxClient> renderBox, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_view(nullptr)
    , m_renderBox(std::move(renderBox)) {
    setUpTimers();
}

void MessageToHTMLToPDF::setUpTimers() {
    m_clock.start();
    m_checkTimer.setInterval(m_timing.checkIntervalMs);
    connect(&m_checkTimer, &QTimer::timeout, this, &MessageToHTMLToPDF::checkTimerTick);
    m_watchdog.setSingleShot(true);
    m_watchdog.setInterval(m_timing.watchdogMs);
    connect(&m_watchdog, &QTimer::timeout, this, &MessageToHTMLToPDF::gaveUpOnRenderOrPrinting);
}

MessageToHTMLToPDF::~MessageToHTMLToPDF() {
    shutdown();
}

double MessageToHTMLToPDF::now() const {
    return m_timing.now ? m_timing.now() : m_clock.nsecsElapsed() / 1e9;
}

QString MessageToHTMLToPDF::subject() const {
    return m_current ? m_current->header().subject() : QString();
}

std::shared_ptr<MCOMessageParser> MessageToHTMLToPDF::currentMessage() const {
    return m_current;
}

void MessageToHTMLToPDF::startRender(std::shared_ptr<MCOMessageParser> message,
                                     const QString& mainFolder, const QString& mailFolder,
                                     bool isRetry, const QString& jobName,
                                     const QString& mailappAttachments) {
    m_isRetry = isRetry;
    m_jobName = jobName;
    m_mainFolder = mainFolder;
    m_mailFolder = mailFolder;
    m_watchdog.stop();
    if (m_busyRendering) {
        qCWarning(lcRender) << "Render NOT started - this is bad. Make sure we are not busy first.";
        m_busyRendering = false;
        return;
    }
    m_failedMessage.reset();
    m_busyRendering = true;
    m_timings = {};
    m_outcome = Outcome::None;
    m_lastPdfPath.clear();
    m_mailappAttachments = mailappAttachments;
    m_outcomeTaken = false;
    m_renderBoxInUse = false;
    m_current = message;
    if (!message) {
        qCInfo(lcRender) << "handed non renderable message type: null";
        doneMakingPDF_EML_Attachments(Outcome::Unreadable);
        return;
    }

    const QString pdfPath = DestinationPaths::destinationPath(*message, mainFolder, mailFolder,
                                                              FormatKey::Pdf, QString(), m_options);
    if (pdfPath.isEmpty()) {
        if (!emlOnlyRoute(message)) {
            doneMakingPDF_EML_Attachments(m_outcome == Outcome::None ? Outcome::Nothing
                                                                     : m_outcome);
        }
        return;
    }
    m_lastPdfPath = pdfPath;
    if (SoundFiles::pdfFilelooksOK(pdfPath)) {
        doneMakingPDF_EML_Attachments(Outcome::AlreadyArchived);
        return;
    }
    proceed(std::move(message));
}

bool MessageToHTMLToPDF::emlOnlyRoute(const std::shared_ptr<MCOMessageParser>& message) {
    if (!formatEnabled(m_options.emlFormat)) {
        return false;
    }
    const QString emlPath = DestinationPaths::destinationPath(*message, m_mainFolder, m_mailFolder,
                                                              FormatKey::Eml, QString(), m_options);
    if (emlPath.isEmpty() || EmlOutput::emlFilelooksOK(emlPath)) {
        m_outcome = Outcome::AlreadyArchived;
        return false;
    }
    const QString written =
        EmlOutput::writeEMLMessage(*message, m_mainFolder, m_mailFolder, m_options);
    AttachmentSaver::startOnAttachmentsFolder(*message, m_mainFolder, m_mailFolder, m_options,
                                              m_mailappAttachments);
    if (written.isEmpty()) {
        m_outcome = Outcome::Failed;
        return false;
    }
    incrementPDFCount();
    m_outcome = Outcome::EmlOnly;
    return false;
}

void MessageToHTMLToPDF::renderSingleEMLMessage(const QByteArray& data, const QString& mainFolder,
                                                const QString& mailFolder, const QString& jobName,
                                                const QString& mailappAttachments) {
    startRender(MCOMessageParser::messageParserWithData(data), mainFolder, mailFolder, false,
                jobName, mailappAttachments);
}

void MessageToHTMLToPDF::proceed(std::shared_ptr<MCOMessageParser> message) {
    if (m_renderBox) {
        m_renderBox->renderPDF(message->data(), m_mainFolder, m_mailFolder, m_options, m_jobName,
                               m_mailappAttachments);
        m_renderBoxInUse = true;
        return;
    }
    localRender(std::move(message));
}

MessageToHTMLToPDF::Outcome MessageToHTMLToPDF::outcomeOfRenderBox(bool boxFailed) const {
    if (!m_lastPdfPath.isEmpty() && SoundFiles::pdfFilelooksOK(m_lastPdfPath)) {
        return Outcome::Made;
    }
    // The box writes the raw message beside the PDF path when it cannot print it; the main
    // side writes the same copy when the box died.
    if (boxFailed || (!m_lastPdfPath.isEmpty() &&
                      EmlOutput::emlFilelooksOK(EmlOutput::emlPathBeside(m_lastPdfPath)))) {
        return Outcome::EmergencyEml;
    }
    return Outcome::NotArchived;
}

void MessageToHTMLToPDF::localRender(std::shared_ptr<MCOMessageParser> message) {
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

    m_busyRendering = true;
    ++m_renderId;
    m_printing = false;
    m_bodyQueryPending = false;
    m_watchdog.start();
    m_checkTimer.start();
    m_renderStartTime = now();
    m_reloadCount = 0;
    m_timings.attachments = m_phase.nsecsElapsed() / 1e6;
    m_phase.start();
    m_viewController->setTheMessage(std::move(message), std::move(stored));
    m_timings.html = m_phase.nsecsElapsed() / 1e6;
    m_phase.start();
}

MessageToHTMLToPDF::Readiness MessageToHTMLToPDF::readiness(double t) {
    if (t < 1) {
        return Readiness::NotReady;
    }
    if (t < 50 && m_reloadCount > 0) {
        return Readiness::NotReady;
    }
    if (t > 40 && m_reloadCount < 1) {
        ++m_reloadCount;
        qCInfo(lcRender).noquote() << "******* Trying a reload...." << subject();
        m_viewController->reload();
        return Readiness::NotReady;
    }
    if (t < 80 && m_view->stillDownloadingResources()) {
        return Readiness::NotReady;
    }
    if (t <= 24 && m_view->isLoading()) {
        return Readiness::NotReady;
    }
    return Readiness::AskBody;
}

void MessageToHTMLToPDF::checkTimerTick() {
    if (!m_busyRendering || m_printing || m_bodyQueryPending) {
        return;
    }
    if (readiness(secondsSinceStart()) != Readiness::AskBody) {
        return;
    }
    m_bodyQueryPending = true;
    const quint64 id = m_renderId;
    m_view->bodyInnerHtml([this, id](const QString& body) {
        if (id != m_renderId) {
            return;
        }
        m_bodyQueryPending = false;
        if (body.size() > kMinBodyLength && m_busyRendering && !m_printing) {
            m_checkTimer.stop();
            createPDFNowThatHTMLIsReady();
        }
    });
}

QPageLayout MessageToHTMLToPDF::pagedLayout() {
    const bool letter = QLocale::system().measurementSystem() == QLocale::ImperialUSSystem;
    return QPageLayout(QPageSize(letter ? QPageSize::Letter : QPageSize::A4), QPageLayout::Portrait,
                       QMarginsF(36, 36, 36, 36), QPageLayout::Point);
}

QPageLayout MessageToHTMLToPDF::singlePageLayout(QSizeF contentsPx, qreal paddingPt) {
    const qreal width = std::max<qreal>(contentsPx.width(), MessageWebView::kViewWidth) * kPxToPt;
    const qreal height = std::max<qreal>(contentsPx.height(), 1) * kPxToPt + paddingPt;
    const QPageSize size(QSizeF(width, height), QPageSize::Point, QString(), QPageSize::ExactMatch);
    return QPageLayout(size, QPageLayout::Portrait, QMarginsF(0, 0, 0, 0), QPageLayout::Point);
}

bool MessageToHTMLToPDF::shouldPrintAsSinglePage(QSizeF contents, qreal frameWidth) {
    return contents.width() > frameWidth && contents.width() > 0 &&
           contents.height() / contents.width() < 2.2;
}

void MessageToHTMLToPDF::createPDFNowThatHTMLIsReady() {
    const auto message = m_current;
    const QString path =
        message ? DestinationPaths::destinationPath(*message, m_mainFolder, m_mailFolder,
                                                    FormatKey::Pdf, QString(), m_options)
                : QString();
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

void MessageToHTMLToPDF::printPaged(const QString& path) {
    const quint64 id = m_renderId;
    try {
        DestinationPaths::testDestinationFilePath(probePath(path));
    } catch (const UnwritablePathError& error) {
        qCWarning(lcRender).noquote() << "PDF path" << error.path() << "," << error.error();
        QTimer::singleShot(m_timing.unwritableRetryDelayMs, this, [this, id, path] {
            if (id == m_renderId) {
                printingToPDFComplete(path, false);
            }
        });
        return;
    }
    m_view->printToPdf(pagedLayout(), [this, id, path](const QByteArray& pdf) {
        if (id != m_renderId) {
            return;
        }
        if (pdf.isEmpty()) {
            qCWarning(lcRender).noquote() << "failed to print" << path;
        } else {
            const WriteOutcome written = writeFileAtomically(path, pdf, ExistingFile::Replace);
            if (!written.written()) {
                qCWarning(lcRender).noquote() << "failed to print" << path << written.error;
            }
        }
        printingToPDFComplete(path, false);
    });
}

void MessageToHTMLToPDF::printSinglePage(const QString& path, int attempt) {
    const quint64 id = m_renderId;
    const QSizeF contents = m_view->contentsSize();
    // The engine rounds page sizes; a little extra height keeps the page from spilling onto a
    // second one, and more is tried when it still does.
    const qreal padding = (contents.height() * kPxToPt * 0.001 + 2) * (1 << attempt);
    m_view->printToPdf(singlePageLayout(contents, padding),
                       [this, id, path, attempt](const QByteArray& pdf) {
                           if (id != m_renderId) {
                               return;
                           }
                           if (!pdf.isEmpty() && Previews::pdfPageCount(pdf) > 1 && attempt < 3) {
                               printSinglePage(path, attempt + 1);
                               return;
                           }
                           if (!pdf.isEmpty()) {
                               (void)writeFileAtomically(path, pdf, ExistingFile::Replace);
                           }
                           printingToPDFComplete(path, true);
                       });
}

void MessageToHTMLToPDF::printingToPDFComplete(const QString& path, bool singlePageTried) {
    m_timings.print += m_phase.nsecsElapsed() / 1e6;
    m_phase.start();
    if (SoundFiles::pdfFilelooksOK(path)) {
        finishMadePdf(path);
        return;
    }
    if (!singlePageTried) {
        qCInfo(lcRender).noquote()
            << "Created PDF without page breaks as it is a hard to manage email:" << path;
        m_phase.start();
        printSinglePage(path, 0);
        return;
    }
    failWithoutPdf(path);
}

void MessageToHTMLToPDF::failWithoutPdf(const QString& path) {
    const auto message = m_current;
    if (message) {
        if (EmlOutput::saveEMLData(message->data(), path).written()) {
            qCInfo(lcRender).noquote()
                << "Created eml file as it proved impossible to render: " << path << " eml";
        }
        m_failedMessage = FailedMessage{message, m_mailFolder};
    }
    m_lastPdfPath.clear();
    doneMakingPDF_EML_Attachments(Outcome::Failed);
}

void MessageToHTMLToPDF::finishMadePdf(const QString& path) {
    const auto message = m_current;
    MCOMessageHeader& header = message->header();
    const std::optional<QDateTime> date =
        MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(header);
    PdfStamp::addEmailsAsKeywords(path, header, date);
    if (date) {
        setFileModificationTime(path, *date);
    }
    MessageTags::addAppleTags(header, path);
    incrementPDFCount();
    EmlOutput::writeEMLMessage(*message, m_mainFolder, m_mailFolder, m_options);
    m_timings.finish = m_phase.nsecsElapsed() / 1e6;
    doneMakingPDF_EML_Attachments(Outcome::Made);
}

void MessageToHTMLToPDF::gaveUpOnRenderOrPrinting() {
    const double t = secondsSinceStart();
    const QString title = subject();
    doneMakingPDF_EML_Attachments(Outcome::GivenUp);
    qCWarning(lcRender).noquote() << "gaveUpOnRenderOrPrinting -" << title << "- at" << t
                                  << "seconds";
}

void MessageToHTMLToPDF::doneMakingPDF_EML_Attachments(Outcome outcome) {
    // The check timer goes too: left running it could print a later message of this engine
    // at the wrong time.
    m_checkTimer.stop();
    m_watchdog.stop();
    ++m_renderId;
    m_printing = false;
    m_bodyQueryPending = false;
    m_busyRendering = false;
    if (m_view) {
        m_view->resetDownloadingStuff();
    }
    m_outcome = outcome;
    Q_EMIT becameIdle();
}

void MessageToHTMLToPDF::incrementPDFCount() {
    if (!m_jobName.isEmpty()) {
        Q_EMIT anotherPDFMade(m_jobName);
    }
}

bool MessageToHTMLToPDF::busyDoingSomething() {
    if (m_renderBoxInUse) {
        if (m_renderBox->busyWorkingOnRender()) {
            m_busyRendering = true;
            return true;
        }
        m_renderBoxInUse = false;
        const bool boxFailed = m_renderBox->failed();
        doneMakingPDF_EML_Attachments(outcomeOfRenderBox(boxFailed));
        return false;
    }
    return m_busyRendering || (m_view && m_view->stillDownloadingResources());
}

std::optional<MessageToHTMLToPDF::Outcome> MessageToHTMLToPDF::takeFinishedOutcome() {
    if (m_outcomeTaken || busyDoingSomething()) {
        return std::nullopt;
    }
    m_outcomeTaken = true;
    return m_outcome;
}

std::optional<MessageToHTMLToPDF::FailedMessage>
MessageToHTMLToPDF::getAndClearFailedMessage(bool* isRetry) {
    if (isRetry) {
        *isRetry = m_isRetry;
    }
    return std::exchange(m_failedMessage, std::nullopt);
}

void MessageToHTMLToPDF::prepareShutdown() {
    if (m_renderBox) {
        m_renderBox->askToQuit();
    }
}

void MessageToHTMLToPDF::shutdown() {
    m_checkTimer.stop();
    m_watchdog.stop();
    ++m_renderId;
    m_busyRendering = false;
    if (m_viewController) {
        m_viewController->shutdown();
    }
    if (m_renderBox) {
        m_renderBox->quitRenderbox();
    }
}

} // namespace tessaly
