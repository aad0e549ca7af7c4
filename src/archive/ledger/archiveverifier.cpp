#include "archive/ledger/archiveverifier.h"

#include "archive/ledger/archiveledger.h"

#include <QDirIterator>
#include <QFileInfo>

namespace tessaly {

QStringList ArchiveVerifier::findLedgers(const QString& folder) {
    QStringList ledgers;
    const QString own = ArchiveLedger::ledgerPath(folder);
    if (QFileInfo(own).isFile()) {
        ledgers.append(own);
    }
    // Hidden folders are searched too (the ledger lives in one); links are not followed, so
    // a link to elsewhere never makes an archive count twice.
    QDirIterator it(folder, {ArchiveLedger::kFolderName},
                    QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString candidate = it.next() + u'/' + ArchiveLedger::kFileName;
        if (candidate != own && QFileInfo(candidate).isFile()) {
            ledgers.append(candidate);
        }
    }
    ledgers.sort();
    return ledgers;
}

ArchiveVerifier::Summary ArchiveVerifier::verify(const QString& folder, const ProblemSink& sink) {
    Summary summary;
    for (const QString& ledgerFile : findLedgers(folder)) {
        QString error;
        std::unique_ptr<ArchiveLedger> ledger = ArchiveLedger::openExisting(ledgerFile, &error);
        std::vector<ArchiveLedger::Entry> files;
        int messages = 0;
        if (!ledger || !ledger->recordedFiles(&files, &messages, &error)) {
            summary.errors.append(ledgerFile + QStringLiteral(": ") + error);
            continue;
        }
        ++summary.ledgers;
        summary.messages += messages;
        for (const ArchiveLedger::Entry& entry : files) {
            ++summary.files;
            const QFileInfo info(entry.file.path);
            if (!info.exists() || !info.isFile()) {
                ++summary.missing;
                sink(Problem::Missing, entry.file.path);
                continue;
            }
            const std::optional<FileRecord> now = FileRecord::of(entry.file.path);
            if (!now || now->size != entry.file.size || now->sha256 != entry.file.sha256) {
                ++summary.changed;
                sink(Problem::Changed, entry.file.path);
            }
        }
    }
    return summary;
}

} // namespace tessaly
