#include "pathscommand.h"

#include "attachmentnames.h"
#include "cliconfig.h"
#include "destinationpaths.h"
#include "mcomessageparser.h"

#include <QFile>
#include <QFileInfo>

namespace tessaly {

namespace {

// One field of a tab-separated line: names from mail may hold tabs and line breaks, which
// would break the line apart.
QString field(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
        case u'\\':
            out += QStringLiteral("\\\\");
            break;
        case u'\t':
            out += QStringLiteral("\\t");
            break;
        case u'\n':
            out += QStringLiteral("\\n");
            break;
        case u'\r':
            out += QStringLiteral("\\r");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString orDash(const QString& path) {
    return path.isEmpty() ? QStringLiteral("-") : field(path);
}

void printMessagePaths(MCOMessageParser& message, const CliJob& job, QTextStream& out) {
    auto path = [&](FormatKey kind, const QString& fileName) {
        return DestinationPaths::computeDestinationPath(message, job.mainFolder, job.mailFolder,
                                                        kind, fileName, job.options);
    };
    out << "pdf\t" << orDash(path(FormatKey::Pdf, QString())) << '\n';
    out << "eml\t" << orDash(path(FormatKey::Eml, QString())) << '\n';

    for (const MCOAttachment& part : message.htmlInlineAttachments()) {
        const QString name = DestinationPaths::justFileName(part);
        out << "attachment\t" << field(name) << '\t' << orDash(path(FormatKey::Attachment, name))
            << '\n';
    }
    const QList<MCOAttachment>& attachments = message.attachments();
    const QStringList numbers = AttachmentNames::duplicateNumbers(attachments);
    for (qsizetype i = 0; i < attachments.size(); ++i) {
        const QString name = AttachmentNames::numberedName(
            DestinationPaths::justFileName(attachments[i]), numbers[i]);
        out << "attachment\t" << field(name) << '\t' << orDash(path(FormatKey::Attachment, name))
            << '\n';
    }
}

} // namespace

int runPathsCommand(const QStringList& arguments, PreferenceStore& store, QTextStream& out,
                    QTextStream& err) {
    QString optionsPath;
    QStringList messages;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == u"--options") {
            if (i + 1 >= arguments.size()) {
                err << "tessaly-cli paths: --options needs a file\n";
                return 1;
            }
            optionsPath = arguments[++i];
        } else if (argument.startsWith(u"--options=")) {
            optionsPath = argument.mid(10);
        } else if (argument == u"--") {
            messages.append(arguments.mid(i + 1));
            break;
        } else if (argument.startsWith(u"--")) {
            err << "tessaly-cli paths: unknown option " << argument << '\n';
            return 1;
        } else {
            messages.append(argument);
        }
    }
    if (messages.isEmpty()) {
        err << "usage: tessaly-cli paths [--options FILE] MESSAGE...\n";
        return 1;
    }

    CliJob job;
    QString error;
    if (!loadCliJob(optionsPath, store, job, error)) {
        err << "tessaly-cli paths: " << error << '\n';
        return 1;
    }

    int status = 0;
    for (const QString& messagePath : messages) {
        QFile file(messagePath);
        if (QFileInfo(messagePath).isDir()) {
            err << "error\t" << field(messagePath) << "\tis a folder\n";
            status = 1;
            continue;
        }
        if (!file.open(QIODevice::ReadOnly)) {
            err << "error\t" << field(messagePath) << '\t' << file.errorString() << '\n';
            status = 1;
            continue;
        }
        auto message = MCOMessageParser::messageParserWithData(file.readAll());
        printMessagePaths(*message, job, out);
        out.flush();
    }
    return status;
}

} // namespace tessaly
