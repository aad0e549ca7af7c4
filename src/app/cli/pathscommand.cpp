#include "app/cli/pathscommand.h"

#include "app/cli/cliconfig.h"
#include "platform/mail/mcomessageparser.h"
#include "render/attachmentnames.h"
#include "render/destinationpaths.h"

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
    CliJob job;
    QStringList messages;
    if (!parseMessageCommand(QStringLiteral("paths"), arguments, store, job, messages, err)) {
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
