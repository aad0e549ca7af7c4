#pragma once

#include "platform/files/atomicfile.h"
#include "platform/mail/mcomessageparser.h"
#include "render/joboptions.h"

#include <QByteArray>
#include <QString>

namespace tessaly {

// The raw message kept byte for byte as ".eml": the copy the EML format asks for, and the
// emergency copy left where a PDF could not be made.
class EmlOutput {
public:
    // Writes the parser's bytes at the message's EML path, replacing what is there. Returns the
    // path written, or null when the EML format is off or the write failed.
    [[nodiscard]] static QString writeEMLMessage(MCOMessageParser& message,
                                                 const QString& mainFolder,
                                                 const QString& mailFolder,
                                                 const JobOptions& options);

    // Writes the data beside the path (same folder and name, extension "eml") unless a file is
    // already there; another process racing for the same name cannot be overwritten either.
    static WriteOutcome saveEMLData(const QByteArray& data, const QString& path);
    static QString emlPathBeside(const QString& path);

    static bool emlFilelooksOK(const QString& path);

    // For a message its render box gave up on: unless a sound PDF exists at the message's PDF
    // path, keeps the raw bytes beside it. Returns whether a copy was written.
    [[nodiscard]] static bool renderSingleEMLMessageAsEmergencyEML(const QByteArray& data,
                                                                   const QString& mainFolder,
                                                                   const QString& mailFolder,
                                                                   const QString& jobName,
                                                                   const JobOptions& options);
};

} // namespace tessaly
