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
// A message moves to the next number when another file holds its name; past this many moves
// something else is wrong.
constexpr int kMaxNameMoves = 100;

// The name the write probe checks before a paged print: in the final file's folder, unique,
// and hidden, so that nobody watching the folder takes it for a message's PDF.
QString probePath(const QString& finalPath) {
    const qint64 micros = (QDateTime::currentMSecsSinceEpoch() - 978307200000LL) * 1000;
    return QFileInfo(finalPath).path() + QStringLiteral("/.tessaly-probe-%1").arg(micros);
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

bool LocalRenderEngine::saveAttachments(QHash<QString, QByteArray>* stored) {
    const AttachmentSaver::Outcome saved = AttachmentSaver::startOnAttachmentsFolder(
        *m_current, m_mainFolder, m_mailFolder, m_options, m_mailappAttachments, m_number);
    if (!tookSavedAttachments(saved)) {
        failWithoutPdf(m_lastPdfPath, m_reason);
        return false;
    }
    if (stored) {
        qsizetype next = 0;
        for (const MCOAttachment& part : m_current->htmlInlineAttachments()) {
            if (part.data.isEmpty() && next < saved.previewsForEmptyInlineParts.size()) {
                stored->insert(part.uniqueID, saved.previewsForEmptyInlineParts[next++]);
            }
        }
    }
    return true;
}

void LocalRenderEngine::proceed(std::shared_ptr<MCOMessageParser> message) {
    m_phase.start();
    // The attachments go first: a PDF at its final name means every file of the message is
    // there.
    QHash<QString, QByteArray> stored;
    if (!saveAttachments(&stored)) {
        return;
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
        m_reason = QStringLiteral("the message has no PDF path");
        doneMakingPDF_EML_Attachments(Outcome::NotArchived);
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
    QString error;
    if (pdf.size() >= SoundFiles::kMinPdfBytes) {
        const std::optional<QDateTime> date =
            MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(m_current->header());
        const std::optional<QByteArray> stamped = PdfStamp::stamped(pdf, m_current->header(), date);
        switch (publish(stamped ? *stamped : pdf, date, &error)) {
        case Published::Yes:
            finishMadePdf();
            return;
        case Published::GaveUp:
            return;
        case Published::No:
            break;
        }
        qCWarning(lcRender).noquote() << "failed to print" << m_lastPdfPath << error;
    } else if (pdf.isEmpty()) {
        error = QStringLiteral("the layout engine printed nothing");
        qCWarning(lcRender).noquote() << "failed to print" << path;
    } else {
        error = QStringLiteral("the layout engine printed only %1 bytes").arg(pdf.size());
    }
    if (!singlePageTried) {
        qCInfo(lcRender).noquote()
            << "Created PDF without page breaks as it is a hard to manage email:" << m_lastPdfPath;
        printSinglePage(m_lastPdfPath, 0);
        return;
    }
    failWithoutPdf(m_lastPdfPath, error.isEmpty() ? QStringLiteral("no PDF could be made") : error);
}

LocalRenderEngine::Published LocalRenderEngine::publish(const QByteArray& pdf,
                                                        const std::optional<QDateTime>& date,
                                                        QString* error) {
    // The EML copy and the tags go before the PDF, and the PDF takes its final name last and
    // never over another file: a PDF at its name is a complete message.
    for (int move = 0; move < kMaxNameMoves; ++move) {
        const EmlOutput::Copy copy =
            EmlOutput::writeEMLCopy(*m_current, m_mainFolder, m_mailFolder, m_options, m_number);
        if (copy.status == EmlOutput::Copy::Status::Failed) {
            failWithoutPdf(m_lastPdfPath, copy.error);
            return Published::GaveUp;
        }
        if (copy.status == EmlOutput::Copy::Status::Taken) {
            if (!moveToNextName()) {
                return Published::GaveUp;
            }
            continue;
        }
        if (copy.status == EmlOutput::Copy::Status::Written) {
            addWrittenFile(copy.path);
        }
        const MCOMessageHeader& header = m_current->header();
        const WriteOutcome written = writeFileAtomically(
            m_lastPdfPath, pdf,
            m_replaceExisting ? ExistingFile::Replace : ExistingFile::KeepExisting,
            [&header, &date](const QString& file) {
                if (date && !setFileModificationTime(file, *date)) {
                    qCWarning(lcRender).noquote() << "cannot set the date of" << file;
                }
                if (!MessageTags::addAppleTags(header, file)) {
                    qCInfo(lcRender).noquote() << "PDF kept without its tags:" << file;
                }
            });
        if (written.written()) {
            addWrittenFile(m_lastPdfPath);
            return Published::Yes;
        }
        if (written.status == WriteOutcome::Status::Failed) {
            *error = QStringLiteral("cannot write %1: %2").arg(m_lastPdfPath, written.error);
            return Published::No;
        }
        // Another message's PDF took the name meanwhile (a run that keeps no ledger, or a
        // file put there by hand): this one moves on to the next number.
        qCInfo(lcRender).noquote() << "name taken meanwhile, moving on:" << m_lastPdfPath;
        if (!moveToNextName()) {
            return Published::GaveUp;
        }
    }
    failWithoutPdf(m_lastPdfPath, QStringLiteral("no free name for its PDF"));
    return Published::GaveUp;
}

bool LocalRenderEngine::moveToNextName() {
    removeWrittenFiles();
    m_replaceExisting = false;
    ++m_number;
    m_lastPdfPath = DestinationPaths::numberedFile(basePdfPath(), m_number);
    return saveAttachments(nullptr);
}

void LocalRenderEngine::failWithoutPdf(const QString& path, const QString& reason) {
    m_reason = reason;
    if (m_current) {
        const WriteOutcome copy = EmlOutput::emergencyCopy(m_current->data(), path);
        if (copy.written()) {
            addWrittenFile(EmlOutput::emlPathBeside(path));
            qCInfo(lcRender).noquote()
                << "Created eml file as it proved impossible to render: " << path << " eml";
        } else {
            m_reason +=
                QStringLiteral("; no EML copy either: %1")
                    .arg(copy.error.isEmpty() ? QStringLiteral("its name is taken") : copy.error);
        }
        recordFailure();
    }
    doneMakingPDF_EML_Attachments(Outcome::Failed);
}

void LocalRenderEngine::finishMadePdf() {
    incrementPDFCount();
    m_timings.finish = m_phase.nsecsElapsed() / 1e6;
    doneMakingPDF_EML_Attachments(Outcome::Made);
}

void LocalRenderEngine::gaveUpOnRenderOrPrinting() {
    const double t = secondsSinceStart();
    const QString title = subject();
    qCWarning(lcRender).noquote() << "gaveUpOnRenderOrPrinting -" << title << "- at" << t
                                  << "seconds";
    m_reason = QStringLiteral("the page was still not ready after %1 seconds").arg(qRound(t));
    const WriteOutcome copy =
        m_current ? EmlOutput::emergencyCopy(m_current->data(), m_lastPdfPath) : WriteOutcome{};
    if (copy.written()) {
        addWrittenFile(EmlOutput::emlPathBeside(m_lastPdfPath));
        doneMakingPDF_EML_Attachments(Outcome::EmergencyEml);
        return;
    }
    m_reason += QStringLiteral("; no EML copy either: %1").arg(copy.error);
    doneMakingPDF_EML_Attachments(Outcome::NotArchived);
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
