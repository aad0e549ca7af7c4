#include "render/emloutput.h"

#include "render/destinationpaths.h"
#include "render/renderlog.h"
#include "render/soundfiles.h"

#include <QDir>
#include <QFileInfo>

namespace tessaly {

QString EmlOutput::writeEMLMessage(MCOMessageParser& message, const QString& mainFolder,
                                   const QString& mailFolder, const JobOptions& options) {
    const QString path = DestinationPaths::destinationPath(message, mainFolder, mailFolder,
                                                           FormatKey::Eml, QString(), options);
    if (path.isEmpty()) {
        return {};
    }
    const WriteOutcome outcome = writeFileAtomically(path, message.data(), ExistingFile::Replace);
    if (!outcome.written()) {
        qCWarning(lcRender).noquote() << "failed to write EML -" << outcome.error;
        return {};
    }
    return path;
}

QString EmlOutput::emlPathBeside(const QString& path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString stem = dot > 0 ? name.left(dot) : name;
    return info.path() + u'/' + stem + QStringLiteral(".eml");
}

WriteOutcome EmlOutput::saveEMLData(const QByteArray& data, const QString& path) {
    const QString target = emlPathBeside(path);
    QDir().mkpath(QFileInfo(target).path());
    return writeFileAtomically(target, data, ExistingFile::KeepExisting);
}

bool EmlOutput::emlFilelooksOK(const QString& path) {
    return SoundFiles::emlFilelooksOK(path);
}

bool EmlOutput::renderSingleEMLMessageAsEmergencyEML(const QByteArray& data,
                                                     const QString& mainFolder,
                                                     const QString& mailFolder,
                                                     const QString& jobName,
                                                     const JobOptions& options) {
    Q_UNUSED(jobName);
    auto message = MCOMessageParser::messageParserWithData(data);
    QString pdfPath = DestinationPaths::destinationPath(*message, mainFolder, mailFolder,
                                                        FormatKey::Pdf, QString(), options);
    if (pdfPath.isEmpty()) {
        // With PDFs switched off the message's own EML path is where its copy belongs.
        pdfPath = DestinationPaths::destinationPath(*message, mainFolder, mailFolder,
                                                    FormatKey::Eml, QString(), options);
    }
    if (pdfPath.isEmpty() || SoundFiles::pdfFilelooksOK(pdfPath)) {
        return false;
    }
    return saveEMLData(data, pdfPath).written();
}

} // namespace tessaly
