#pragma once

#include "platform/mail/mcoattachment.h"
#include "platform/mail/mcomessageheader.h"
#include "render/joboptions.h"

#include <QString>

#include <functional>
#include <stdexcept>

namespace tessaly {

// Raised by the write probe; its caller catches it.
class UnwritablePathError : public std::runtime_error {
public:
    UnwritablePathError(QString path, QString error);
    const QString& path() const { return m_path; }
    const QString& error() const { return m_error; }

private:
    QString m_path;
    QString m_error;
};

// Where every file of an archived message goes: the destination folder, a sub folder for the
// source and mail folder, and the expansion of the source's path format. Whatever a message,
// a server's folder name or a path format holds, the result stays inside the destination.
class DestinationPaths {
public:
    // The full path, with its parent folder created; null when the kind's format is disabled
    // (shorter than 5 characters). May store a repaired date in the message's header.
    static QString destinationPath(MCOAbstractMessage& message, const QString& mainFolder,
                                   const QString& mailFolder, FormatKey optionsFormat,
                                   const QString& fileName, const JobOptions& options);
    // The same path without creating anything.
    static QString computeDestinationPath(MCOAbstractMessage& message, const QString& mainFolder,
                                          const QString& mailFolder, FormatKey optionsFormat,
                                          const QString& fileName, const JobOptions& options);

    // The folder for a job's own files (its error report); created, its path returned.
    static QString destinationFolder(const QString& destFolder, const QString& mainFolder,
                                     const QString& mailFolder);
    static QString destinationSubFolder(const QString& mainFolder, const QString& mailFolder);
    // The override, else the general destination, else the emergency folder on the desktop.
    static QString chosenDestination(const JobOptions& options);

    // The name a message takes when another message already has its own: "NAME 2.pdf" for
    // "NAME.pdf", the number before the extension, the name still within 255 bytes. A number
    // below 2 leaves the path as it is.
    static QString numberedFile(const QString& path, int number);
    // The same for a folder: "NAME (attachments) 2".
    static QString numberedFolder(const QString& path, int number);
    // An attachment's path for a message with a number: its folder takes the number when the
    // attachments have a folder of their own (not the folder of `mainPath`, the message's PDF
    // or EML path).
    static QString numberedAttachmentPath(const QString& attachmentPath, const QString& mainPath,
                                          int number);

    static QString stripFirstName(const QString& name);
    static bool useWindowsFileNames(const JobOptions& options);
    static QString justFileName(const MCOAttachment& part);

    // Writes and removes a one-byte file at the path; throws UnwritablePathError when that
    // fails. The fifth failure in a process also goes to the alert handler, once.
    static void testDestinationFilePath(const QString& path);
    using UnwritableAlert = std::function<void(const QString& path, const QString& error)>;
    static void setUnwritablePathAlert(UnwritableAlert alert);

    static constexpr int kMinFormatLength = 5;
};

} // namespace tessaly
