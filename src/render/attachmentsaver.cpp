#include "render/attachmentsaver.h"

#include "platform/files/atomicfile.h"
#include "platform/pdf/previews.h"
#include "render/attachmentnames.h"
#include "render/destinationpaths.h"
#include "render/messagedates.h"
#include "render/messagetags.h"
#include "render/renderlog.h"
#include "unpack/mimeunpacker.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace tessaly {

namespace {

// A file's date and tags are what make it findable; a failure is logged and the file stays.
void dateAndTag(const QString& path, const MCOMessageHeader& header,
                const std::optional<QDateTime>& date) {
    if (date && !setFileModificationTime(path, *date)) {
        qCWarning(lcRender).noquote() << "cannot set the date of" << path;
    }
    if (!MessageTags::addAppleTags(header, path)) {
        qCInfo(lcRender).noquote() << "attachment kept without its tags:" << path;
    }
}

} // namespace

QByteArray AttachmentSaver::getImageData(const QString& path) {
    const QByteArray png =
        Previews::thumbnailOfFile(path, QSize(400, 600), Previews::Encoding::Png);
    if (png.isEmpty()) {
        qCInfo(lcRender) << "Failed to write Image";
    }
    return png;
}

QStringList AttachmentSaver::copyAttachmentsFromMailAppPath(MCOMessageParser& message,
                                                            const QString& mainFolder,
                                                            const QString& mailFolder,
                                                            const JobOptions& options,
                                                            const QString& mailappAttachments) {
    if (mailappAttachments.isEmpty() || QDir(mailappAttachments).isEmpty()) {
        return {};
    }
    QStringList destinations;
    QDirIterator it(mailappAttachments, QDir::Files | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString path = DestinationPaths::destinationPath(
            message, mainFolder, mailFolder, FormatKey::Attachment, it.fileName(), options);
        if (path.isEmpty()) {
            continue;
        }
        destinations.append(path);
        if (!QFileInfo::exists(path)) {
            QFile source_(source);
            if (source_.open(QIODevice::ReadOnly)) {
                (void)writeFileAtomically(path, source_.readAll(), ExistingFile::KeepExisting);
            }
        }
    }
    return destinations;
}

QString AttachmentSaver::downloadAttachment(const MCOAttachment& part, MCOMessageParser& message,
                                            const QString& mainFolder, const QString& mailFolder,
                                            const JobOptions& options, const QString& dupWarn) {
    const QString name =
        AttachmentNames::numberedName(DestinationPaths::justFileName(part), dupWarn);
    const QString path = DestinationPaths::destinationPath(message, mainFolder, mailFolder,
                                                           FormatKey::Attachment, name, options);
    if (path.isEmpty() || QFileInfo::exists(path)) {
        return {};
    }
    if (part.filename.isEmpty() && !part.data.isEmpty()) {
        // A nameless part may be a container (TNEF, uuencoded files, a message): its files are
        // what the user wants. Only files the unpacker itself wrote count; other attachments
        // already in the folder say nothing about this part.
        const MimeUnpacker::Result unpacked =
            MimeUnpacker::decode(part.data, QFileInfo(path).path());
        qCInfo(lcRender) << "used rip mime with a result of" << unpacked.status;
        if (!unpacked.written.isEmpty()) {
            const std::optional<QDateTime> date = message.header().date();
            for (const QString& file : unpacked.written) {
                dateAndTag(file, message.header(), date);
            }
            return unpacked.written.first();
        }
        qCInfo(lcRender).noquote()
            << "RipMime was called and did not extract any files for" << QFileInfo(path).path();
    }
    if (part.data.isEmpty()) {
        return {};
    }
    const WriteOutcome written = writeFileAtomically(path, part.data, ExistingFile::KeepExisting);
    if (!written.written()) {
        if (written.status == WriteOutcome::Status::Failed) {
            qCWarning(lcRender).noquote()
                << "cannot write attachment" << path << ":" << written.error;
        }
        return {};
    }
    dateAndTag(path, message.header(),
               MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message.header()));
    return path;
}

AttachmentSaver::Outcome
AttachmentSaver::startOnAttachmentsFolder(MCOMessageParser& message, const QString& mainFolder,
                                          const QString& mailFolder, const JobOptions& options,
                                          const QString& mailappAttachments) {
    Outcome outcome;
    const QStringList copied = copyAttachmentsFromMailAppPath(message, mainFolder, mailFolder,
                                                              options, mailappAttachments);
    if (!copied.isEmpty()) {
        qsizetype next = 0;
        for (const MCOAttachment& part : message.htmlInlineAttachments()) {
            if (part.data.isEmpty() && next < copied.size()) {
                outcome.previewsForEmptyInlineParts.append(getImageData(copied[next++]));
            }
        }
        return outcome;
    }
    for (const MCOAttachment& part : message.htmlInlineAttachments()) {
        const QString path = downloadAttachment(part, message, mainFolder, mailFolder, options, {});
        if (!path.isEmpty()) {
            outcome.written.append(path);
        }
    }
    const QList<MCOAttachment>& attachments = message.attachments();
    const QStringList numbers = AttachmentNames::duplicateNumbers(attachments);
    for (qsizetype i = 0; i < attachments.size(); ++i) {
        const QString path = downloadAttachment(attachments[i], message, mainFolder, mailFolder,
                                                options, numbers[i]);
        if (!path.isEmpty()) {
            outcome.written.append(path);
        }
    }
    return outcome;
}

} // namespace tessaly
