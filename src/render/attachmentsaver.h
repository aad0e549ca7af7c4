#pragma once

#include "platform/mail/mcomessageparser.h"
#include "render/joboptions.h"

#include <QString>
#include <QStringList>

namespace tessaly {

// Saves every part of a message beside its PDF, at the paths of the attachment format: inline
// parts under their own names, regular attachments numbered when names repeat ("report 2.pdf"),
// nameless parts split by the MIME unpacker first. Existing files are never overwritten. Files
// from a mail client's separate attachments folder are copied instead when there are any.
class AttachmentSaver {
public:
    struct [[nodiscard]] Outcome {
        QStringList written;  // files this call created
        QStringList kept;     // this message's files found in place (an earlier attempt's)
        QStringList failures; // what could not be written, and why
        // Preview data for inline parts that have no data of their own, in order, made from the
        // copied mail-client files.
        QList<QByteArray> previewsForEmptyInlineParts;
    };

    // `number` is the message's name number: a message sharing its name with another one keeps
    // its attachments in a folder of that number ("NAME (attachments) 2").
    static Outcome startOnAttachmentsFolder(MCOMessageParser& message, const QString& mainFolder,
                                            const QString& mailFolder, const JobOptions& options,
                                            const QString& mailappAttachments, int number = 1);

    // PNG preview of a file (PDF first page or image), at most 400 by 600; empty when none.
    static QByteArray getImageData(const QString& path);

    // An attachment's path for the message's name number; its folder is made.
    static QString attachmentPath(MCOMessageParser& message, const QString& mainFolder,
                                  const QString& mailFolder, const JobOptions& options,
                                  const QString& fileName, int number);

private:
    // Writes the data at the path, or finds it there already; the path it is at, or empty.
    static QString keepOwnCopy(const QString& path, const QByteArray& data, Outcome& outcome);
    static void copyAttachmentsFromMailAppPath(MCOMessageParser& message, const QString& mainFolder,
                                               const QString& mailFolder, const JobOptions& options,
                                               const QString& mailappAttachments, int number,
                                               Outcome& outcome, QStringList& copied);
    static void downloadAttachment(const MCOAttachment& part, MCOMessageParser& message,
                                   const QString& mainFolder, const QString& mailFolder,
                                   const JobOptions& options, const QString& dupWarn, int number,
                                   Outcome& outcome);
};

} // namespace tessaly
