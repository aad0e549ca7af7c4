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
    // How writing a message's EML copy at its own name went.
    struct Copy {
        enum class Status {
            Off,     // the EML format is off
            Written, // the copy is there (also when the same bytes already were)
            Taken,   // another file holds the name
            Failed,
        };
        Status status = Status::Off;
        QString path;
        QString error;
    };
    // Writes the parser's bytes at the message's EML path for its name number, never over a
    // different file.
    [[nodiscard]] static Copy writeEMLCopy(MCOMessageParser& message, const QString& mainFolder,
                                           const QString& mailFolder, const JobOptions& options,
                                           int number);
    // The copy kept where a PDF could not be made: beside `pdfPath`, unless a sound PDF is
    // there. Written when the same bytes are already there; AlreadyExists when a different
    // file holds the name.
    [[nodiscard]] static WriteOutcome emergencyCopy(const QByteArray& data, const QString& pdfPath);

    static QString emlPathBeside(const QString& path);

    static bool emlFilelooksOK(const QString& path);
};

} // namespace tessaly
