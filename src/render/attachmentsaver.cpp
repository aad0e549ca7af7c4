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

// More files of one name than this in one folder: something else is wrong.
constexpr int kMaxSameName = 1000;

} // namespace

QString AttachmentSaver::keepOwnCopy(const QString& path, const QByteArray& data,
                                     Outcome& outcome) {
    // A file at the name is never replaced: the same bytes are this message's own copy (an
    // earlier attempt wrote it); different bytes belong to another message, and this one
    // takes the next free numbered name beside it.
    for (int number = 1; number <= kMaxSameName; ++number) {
        const QString candidate = DestinationPaths::numberedFile(path, number);
        if (QFileInfo::exists(candidate)) {
            if (fileHoldsBytes(candidate, data)) {
                outcome.kept.append(candidate);
                return candidate;
            }
            continue;
        }
        const WriteOutcome written =
            writeFileAtomically(candidate, data, ExistingFile::KeepExisting);
        if (written.written()) {
            outcome.written.append(candidate);
            return candidate;
        }
        if (written.status == WriteOutcome::Status::Failed) {
            outcome.failures.append(
                QStringLiteral("cannot write attachment %1: %2").arg(candidate, written.error));
            return {};
        }
    }
    outcome.failures.append(QStringLiteral("no free name for attachment %1").arg(path));
    return {};
}

QByteArray AttachmentSaver::getImageData(const QString& path) {
    const QByteArray png =
        Previews::thumbnailOfFile(path, QSize(400, 600), Previews::Encoding::Png);
    if (png.isEmpty()) {
        qCInfo(lcRender) << "Failed to write Image";
    }
    return png;
}

QString AttachmentSaver::attachmentPath(MCOMessageParser& message, const QString& mainFolder,
                                        const QString& mailFolder, const JobOptions& options,
                                        const QString& fileName, int number) {
    QString path = DestinationPaths::computeDestinationPath(
        message, mainFolder, mailFolder, FormatKey::Attachment, fileName, options);
    if (path.isEmpty()) {
        return {};
    }
    if (number > 1) {
        QString mainPath = DestinationPaths::computeDestinationPath(
            message, mainFolder, mailFolder, FormatKey::Pdf, QString(), options);
        if (mainPath.isEmpty()) {
            mainPath = DestinationPaths::computeDestinationPath(message, mainFolder, mailFolder,
                                                                FormatKey::Eml, QString(), options);
        }
        path = DestinationPaths::numberedAttachmentPath(path, mainPath, number);
    }
    QDir().mkpath(QFileInfo(path).path());
    return path;
}

void AttachmentSaver::copyAttachmentsFromMailAppPath(MCOMessageParser& message,
                                                     const QString& mainFolder,
                                                     const QString& mailFolder,
                                                     const JobOptions& options,
                                                     const QString& mailappAttachments, int number,
                                                     Outcome& outcome, QStringList& copied) {
    if (mailappAttachments.isEmpty() || QDir(mailappAttachments).isEmpty()) {
        return;
    }
    QDirIterator it(mailappAttachments, QDir::Files | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString path =
            attachmentPath(message, mainFolder, mailFolder, options, it.fileName(), number);
        if (path.isEmpty()) {
            continue;
        }
        QFile input(source);
        if (!input.open(QIODevice::ReadOnly)) {
            outcome.failures.append(
                QStringLiteral("cannot read %1: %2").arg(source, input.errorString()));
            continue;
        }
        const QString kept = keepOwnCopy(path, input.readAll(), outcome);
        if (!kept.isEmpty()) {
            copied.append(kept);
        }
    }
}

void AttachmentSaver::downloadAttachment(const MCOAttachment& part, MCOMessageParser& message,
                                         const QString& mainFolder, const QString& mailFolder,
                                         const JobOptions& options, const QString& dupWarn,
                                         int number, Outcome& outcome) {
    const QString name =
        AttachmentNames::numberedName(DestinationPaths::justFileName(part), dupWarn);
    const QString path = attachmentPath(message, mainFolder, mailFolder, options, name, number);
    if (path.isEmpty()) {
        return;
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
            outcome.written.append(unpacked.written);
            return;
        }
        qCInfo(lcRender).noquote()
            << "RipMime was called and did not extract any files for" << QFileInfo(path).path();
    }
    if (part.data.isEmpty()) {
        return;
    }
    const QString kept = keepOwnCopy(path, part.data, outcome);
    if (!kept.isEmpty()) {
        dateAndTag(kept, message.header(),
                   MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message.header()));
    }
}

AttachmentSaver::Outcome
AttachmentSaver::startOnAttachmentsFolder(MCOMessageParser& message, const QString& mainFolder,
                                          const QString& mailFolder, const JobOptions& options,
                                          const QString& mailappAttachments, int number) {
    Outcome outcome;
    QStringList copied;
    copyAttachmentsFromMailAppPath(message, mainFolder, mailFolder, options, mailappAttachments,
                                   number, outcome, copied);
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
        downloadAttachment(part, message, mainFolder, mailFolder, options, {}, number, outcome);
    }
    const QList<MCOAttachment>& attachments = message.attachments();
    const QStringList numbers = AttachmentNames::duplicateNumbers(attachments);
    for (qsizetype i = 0; i < attachments.size(); ++i) {
        downloadAttachment(attachments[i], message, mainFolder, mailFolder, options, numbers[i],
                           number, outcome);
    }
    return outcome;
}

} // namespace tessaly
