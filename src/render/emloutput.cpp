#include "render/emloutput.h"

#include "render/destinationpaths.h"
#include "render/renderlog.h"
#include "render/soundfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace tessaly {

namespace {

// Writes without replacing; the same bytes already there count as written.
WriteOutcome writeOwnCopy(const QString& path, const QByteArray& data) {
    WriteOutcome outcome = writeFileAtomically(path, data, ExistingFile::KeepExisting);
    if (outcome.status == WriteOutcome::Status::AlreadyExists && fileHoldsBytes(path, data)) {
        outcome.status = WriteOutcome::Status::Written;
    }
    return outcome;
}

} // namespace

EmlOutput::Copy EmlOutput::writeEMLCopy(MCOMessageParser& message, const QString& mainFolder,
                                        const QString& mailFolder, const JobOptions& options,
                                        int number) {
    Copy copy;
    copy.path = DestinationPaths::numberedFile(
        DestinationPaths::destinationPath(message, mainFolder, mailFolder, FormatKey::Eml,
                                          QString(), options),
        number);
    if (copy.path.isEmpty()) {
        return copy;
    }
    const WriteOutcome written = writeOwnCopy(copy.path, message.data());
    switch (written.status) {
    case WriteOutcome::Status::Written:
        copy.status = Copy::Status::Written;
        break;
    case WriteOutcome::Status::AlreadyExists:
        copy.status = Copy::Status::Taken;
        break;
    case WriteOutcome::Status::Failed:
        copy.status = Copy::Status::Failed;
        copy.error =
            QStringLiteral("cannot write the EML copy %1: %2").arg(copy.path, written.error);
        break;
    }
    return copy;
}

WriteOutcome EmlOutput::emergencyCopy(const QByteArray& data, const QString& pdfPath) {
    if (pdfPath.isEmpty()) {
        return {WriteOutcome::Status::Failed, QStringLiteral("the message has no path")};
    }
    if (SoundFiles::pdfFilelooksOK(pdfPath)) {
        return {WriteOutcome::Status::AlreadyExists, {}};
    }
    const QString target = emlPathBeside(pdfPath);
    QDir().mkpath(QFileInfo(target).path());
    return writeOwnCopy(target, data);
}

QString EmlOutput::emlPathBeside(const QString& path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString stem = dot > 0 ? name.left(dot) : name;
    return info.path() + u'/' + stem + QStringLiteral(".eml");
}

bool EmlOutput::emlFilelooksOK(const QString& path) {
    return SoundFiles::emlFilelooksOK(path);
}

} // namespace tessaly
