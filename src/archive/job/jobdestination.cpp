#include "archive/job/jobdestination.h"

#include "archive/ledger/archiveledger.h"
#include "platform/files/atomicfile.h"
#include "render/soundfiles.h"

#include <QFile>

#include <filesystem>
#include <system_error>

namespace tessaly {

JobDestination JobDestination::prepare(const QString& root) {
    JobDestination destination;
    const QString probe = root + QStringLiteral("/.tessaly-write-test");
    WriteOutcome written{WriteOutcome::Status::Failed, {}};
    std::error_code made;
    std::filesystem::create_directories(QFile::encodeName(root).toStdString(), made);
    if (made) {
        written.error = QString::fromLocal8Bit(made.message());
    } else {
        written = writeFileAtomically(probe, "t", ExistingFile::Replace);
    }
    if (!written.written()) {
        destination.fatalError =
            QStringLiteral("cannot write to the destination %1: %2").arg(root, written.error);
        return destination;
    }
    QFile::remove(probe);
    QString error;
    destination.ledger = ArchiveLedger::open(root, &SoundFiles::pdfOrEmlLooksOK, &error);
    if (!destination.ledger) {
        destination.fatalError =
            QStringLiteral("cannot keep the archive's ledger in %1: %2").arg(root, error);
    }
    return destination;
}

} // namespace tessaly
