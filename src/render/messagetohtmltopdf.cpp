#include "render/messagetohtmltopdf.h"

#include "render/attachmentsaver.h"
#include "render/destinationpaths.h"
#include "render/emloutput.h"
#include "render/renderlog.h"
#include "render/soundfiles.h"

namespace tessaly {

namespace {

bool formatEnabled(const QString& format) {
    return format.size() >= DestinationPaths::kMinFormatLength;
}

} // namespace

MessageToHTMLToPDF::MessageToHTMLToPDF(JobOptions options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options)) {
}

MessageToHTMLToPDF::~MessageToHTMLToPDF() = default;

QString MessageToHTMLToPDF::subject() const {
    return m_current ? m_current->header().subject() : QString();
}

bool MessageToHTMLToPDF::startRender(std::shared_ptr<MCOMessageParser> message,
                                     const QString& mainFolder, const QString& mailFolder,
                                     bool isRetry, const QString& jobName,
                                     const QString& mailappAttachments) {
    const QString knownPdfPath = std::exchange(m_knownPdfPath, QString());
    if (m_busyRendering) {
        qCWarning(lcRender) << "Render NOT started - this is bad. Make sure we are not busy first.";
        return false;
    }
    m_isRetry = isRetry;
    m_jobName = jobName;
    m_mainFolder = mainFolder;
    m_mailFolder = mailFolder;
    m_failedMessage.reset();
    m_busyRendering = true;
    m_timings = {};
    m_outcome = Outcome::None;
    m_lastPdfPath.clear();
    m_mailappAttachments = mailappAttachments;
    m_outcomeTaken = false;
    m_current = message;
    if (!message) {
        qCInfo(lcRender) << "handed non renderable message type: null";
        doneMakingPDF_EML_Attachments(Outcome::Unreadable);
        return true;
    }

    const QString pdfPath =
        !knownPdfPath.isEmpty()
            ? knownPdfPath
            : DestinationPaths::destinationPath(*message, mainFolder, mailFolder, FormatKey::Pdf,
                                                QString(), m_options);
    if (pdfPath.isEmpty()) {
        if (!emlOnlyRoute(message)) {
            doneMakingPDF_EML_Attachments(m_outcome == Outcome::None ? Outcome::Nothing
                                                                     : m_outcome);
        }
        return true;
    }
    m_lastPdfPath = pdfPath;
    if (SoundFiles::pdfFilelooksOK(pdfPath)) {
        doneMakingPDF_EML_Attachments(Outcome::AlreadyArchived);
        return true;
    }
    proceed(std::move(message));
    return true;
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
    // Saved whatever happens to the copy; a part that cannot be written says so itself.
    const AttachmentSaver::Outcome saved = AttachmentSaver::startOnAttachmentsFolder(
        *message, m_mainFolder, m_mailFolder, m_options, m_mailappAttachments);
    qCInfo(lcRender) << "EML route saved" << saved.written.size() << "attachments";
    if (written.isEmpty()) {
        m_outcome = Outcome::Failed;
        return false;
    }
    incrementPDFCount();
    m_outcome = Outcome::EmlOnly;
    return false;
}

bool MessageToHTMLToPDF::renderSingleEMLMessage(const QByteArray& data, const QString& mainFolder,
                                                const QString& mailFolder, const QString& jobName,
                                                const QString& mailappAttachments) {
    return startRender(MCOMessageParser::messageParserWithData(data), mainFolder, mailFolder, false,
                       jobName, mailappAttachments);
}

void MessageToHTMLToPDF::doneMakingPDF_EML_Attachments(Outcome outcome) {
    stopCurrentWork();
    m_busyRendering = false;
    m_outcome = outcome;
    Q_EMIT becameIdle();
}

void MessageToHTMLToPDF::incrementPDFCount() {
    if (!m_jobName.isEmpty()) {
        Q_EMIT anotherPDFMade(m_jobName);
    }
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

} // namespace tessaly
