#include "app/cli/cliconfig.h"

#include "platform/prefs/preferencestore.h"
#include "render/custompath.h"

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
    if (!json.contains(jobkeys::loadRemoteImages)) {
        job.options.loadRemoteImages = store.loadRemoteImages();
    }
    if (!json.contains(jobkeys::destFolder)) {
        job.options.destFolder = store.destinationFolder();
    }
    job.mainFolder = json.value(QStringLiteral("main_folder")).toString();
    job.mailFolder = json.value(QStringLiteral("mail_folder")).toString();
    return true;
}

bool parseMessageCommand(const QString& command, const QStringList& arguments,
                         const PreferenceStore& store, CliJob& job, QStringList& messages,
                         QTextStream& err) {
    QString optionsPath;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == u"--options") {
            if (i + 1 >= arguments.size()) {
                err << "tessaly-cli " << command << ": --options needs a file\n";
                return false;
            }
            optionsPath = arguments[++i];
        } else if (argument.startsWith(u"--options=")) {
            optionsPath = argument.mid(10);
        } else if (argument == u"--") {
            messages.append(arguments.mid(i + 1));
            break;
        } else if (argument.startsWith(u"--")) {
            err << "tessaly-cli " << command << ": unknown option " << argument << '\n';
            return false;
        } else {
            messages.append(argument);
        }
    }
    if (messages.isEmpty()) {
        err << "usage: tessaly-cli " << command << " [--options FILE] MESSAGE...\n";
        return false;
    }
    QString error;
    if (!loadCliJob(optionsPath, store, job, error)) {
        err << "tessaly-cli " << command << ": " << error << '\n';
        return false;
    }
    return true;
}

} // namespace tessaly
