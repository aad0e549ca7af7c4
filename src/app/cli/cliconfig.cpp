#include "cliconfig.h"

#include "custompath.h"
#include "preferencestore.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace tessaly {

bool loadCliJob(const QString& optionsPath, const PreferenceStore& store, CliJob& job,
                QString& error) {
    QJsonObject json;
    if (!optionsPath.isEmpty()) {
        QFile file(optionsPath);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read options file %1: %2")
                        .arg(optionsPath, file.errorString());
            return false;
        }
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
        if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
            error = QStringLiteral("options file %1 is not a JSON object: %2")
                        .arg(optionsPath, parseError.errorString());
            return false;
        }
        json = document.object();
    }

    job.options = JobOptions::fromJson(json);
    const QString general = CustomPath::generalAccount();
    if (!json.contains(jobkeys::pdfFormat)) {
        job.options.pdfFormat = CustomPath::getPathFormat(store, general);
    }
    if (!json.contains(jobkeys::attachmentFormat)) {
        job.options.attachmentFormat = CustomPath::getAttachmentFormat(store, general);
    }
    if (!json.contains(jobkeys::emlFormat)) {
        job.options.emlFormat = CustomPath::getEMLFormat(store, general);
    }
    if (!json.contains(jobkeys::windowsFilenames)) {
        job.options.windowsFilenames = store.useWindowsFriendlyFilenames();
    }
    if (!json.contains(jobkeys::tinyHeaders)) {
        job.options.tinyHeaders = store.includeTinyHeaderText();
    }
    if (!json.contains(jobkeys::destFolder)) {
        job.options.destFolder = store.destinationFolder();
    }
    job.mainFolder = json.value(QStringLiteral("main_folder")).toString();
    job.mailFolder = json.value(QStringLiteral("mail_folder")).toString();
    return true;
}

} // namespace tessaly
