#include "render/messagetohtmltopdf.h"

#include "render/attachmentsaver.h"
#include "render/destinationpaths.h"
#include "render/emloutput.h"
#include "render/renderlog.h"
#include "render/soundfiles.h"

#include <QFile>

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

namespace {

// A message moves to the next number when a file it did not write holds its name; past this
// many moves something else is wrong.
constexpr int kMaxNameMoves = 100;

} // namespace

bool MessageToHTMLToPDF::startRender(std::shared_ptr<MCOMessageParser> message,
                                     const QString& mainFolder, const QString& mailFolder,
                                     bool isRetry, const QString& jobName,
                                     const QString& mailappAttachments) {
    const std::optional<ClaimedName> claimed = std::exchange(m_claimedName, std::nullopt);
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
    m_basePdfPath.clear();
    m_reason.clear();
    m_writtenPaths.clear();
    m_keptPaths.clear();
    m_files.clear();
    m_number = claimed ? std::max(1, claimed->number) : 1;
    m_replaceExisting = claimed && claimed->replace;
    m_mailappAttachments = mailappAttachments;
    m_outcomeTaken = false;
    m_current = message;
    if (!message) {
        qCInfo(lcRender) << "handed non renderable message type: null";
        m_reason = QStringLiteral("no message could be made of it");
        doneMakingPDF_EML_Attachments(Outcome::Unreadable);
        return true;
    }

    // A claimed name was worked out by the caller, off this thread: the path is not formatted
    // again here.
    m_claimed = claimed.has_value();
    const QString pdfPath = !formatEnabled(m_options.pdfFormat) ? QString()
                            : claimed                           ? claimed->path
                                                                : basePdfPath();
    if (pdfPath.isEmpty()) {
        if (!emlOnlyRoute(message)) {
            doneMakingPDF_EML_Attachments(m_outcome == Outcome::None ? Outcome::Nothing
                                                                     : m_outcome);
        }
        return true;
    }
    m_lastPdfPath = pdfPath;
    // With a claimed name, a PDF already there is not this message's (the name was free when
    // it was claimed): the message goes on and takes the next number when it is published.
    if (!m_claimed && SoundFiles::pdfFilelooksOK(pdfPath)) {
        doneMakingPDF_EML_Attachments(Outcome::AlreadyArchived);
        return true;
    }
    proceed(std::move(message));
    return true;
}

const QString& MessageToHTMLToPDF::basePdfPath() {
    if (m_basePdfPath.isEmpty() && m_current) {
        m_basePdfPath = DestinationPaths::destinationPath(*m_current, m_mainFolder, m_mailFolder,
                                                          FormatKey::Pdf, QString(), m_options);
    }
    return m_basePdfPath;
}

bool MessageToHTMLToPDF::tookSavedAttachments(const AttachmentSaver::Outcome& saved) {
    m_writtenPaths.append(saved.written);
    m_keptPaths.append(saved.kept);
    if (saved.failures.isEmpty()) {
        return true;
    }
    m_reason = saved.failures.join(QStringLiteral("; "));
    return false;
}

void MessageToHTMLToPDF::removeWrittenFiles() {
    for (const QString& path : std::exchange(m_writtenPaths, {})) {
        QFile::remove(path);
    }
}

bool MessageToHTMLToPDF::emlOnlyRoute(const std::shared_ptr<MCOMessageParser>& message) {
    if (!formatEnabled(m_options.emlFormat)) {
        return false;
    }
    for (int move = 0; move < kMaxNameMoves; ++move, ++m_number) {
        const QString emlPath = DestinationPaths::numberedFile(
            DestinationPaths::destinationPath(*message, m_mainFolder, m_mailFolder, FormatKey::Eml,
                                              QString(), m_options),
            m_number);
        m_lastPdfPath = emlPath;
        // Without a claimed name a sound copy at the path is this message's; with one, a file
        // there is checked byte for byte when the copy is written.
        if (emlPath.isEmpty() || (!m_claimed && EmlOutput::emlFilelooksOK(emlPath))) {
            m_outcome = Outcome::AlreadyArchived;
            return false;
        }
        const AttachmentSaver::Outcome saved = AttachmentSaver::startOnAttachmentsFolder(
            *message, m_mainFolder, m_mailFolder, m_options, m_mailappAttachments, m_number);
        if (!tookSavedAttachments(saved)) {
            m_outcome = Outcome::NotArchived;
            return false;
        }
        const EmlOutput::Copy copy =
            EmlOutput::writeEMLCopy(*message, m_mainFolder, m_mailFolder, m_options, m_number);
        if (copy.status == EmlOutput::Copy::Status::Taken) {
            removeWrittenFiles();
            m_replaceExisting = false;
            continue;
        }
        if (copy.status != EmlOutput::Copy::Status::Written) {
            m_reason = copy.error;
            m_outcome = Outcome::NotArchived;
            return false;
        }
        addWrittenFile(copy.path);
        incrementPDFCount();
        m_outcome = Outcome::EmlOnly;
        return false;
    }
    m_reason = QStringLiteral("no free name for its EML copy");
    m_outcome = Outcome::NotArchived;
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
    QStringList paths = std::exchange(m_writtenPaths, {}) + std::exchange(m_keptPaths, {});
    paths.removeDuplicates(); // a second publishing attempt finds its EML copy in place
    for (const QString& path : std::as_const(paths)) {
        if (std::optional<FileRecord> record = FileRecord::of(path)) {
            m_files.push_back(std::move(*record));
        }
    }
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
