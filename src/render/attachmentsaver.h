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
        QStringList written; // files this call created
        // Preview data for inline parts that have no data of their own, in order, made from the
        // copied mail-client files.
        QList<QByteArray> previewsForEmptyInlineParts;
    };

    static Outcome startOnAttachmentsFolder(MCOMessageParser& message, const QString& mainFolder,
                                            const QString& mailFolder, const JobOptions& options,
                                            const QString& mailappAttachments);

    static QStringList copyAttachmentsFromMailAppPath(MCOMessageParser& message,
                                                      const QString& mainFolder,
                                                      const QString& mailFolder,
                                                      const JobOptions& options,
                                                      const QString& mailappAttachments);

    // PNG preview of a file (PDF first page or image), at most 400 by 600; empty when none.
    static QByteArray getImageData(const QString& path);

    // Saves one part; returns the path written, or empty when nothing was written.
    static QString downloadAttachment(const MCOAttachment& part, MCOMessageParser& message,
                                      const QString& mainFolder, const QString& mailFolder,
                                      const JobOptions& options, const QString& dupWarn);
};

} // namespace tessaly
