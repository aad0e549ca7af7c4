#include "render/destinationpaths.h"

#include "platform/files/atomicfile.h"
#include "platform/files/pathnames.h"
#include "render/custompath.h"
#include "render/messagedates.h"
#include "render/renderlog.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <atomic>
#include <mutex>

namespace tessaly {

namespace {

std::atomic<int> g_probeFailures{0};
std::mutex g_alertMutex;
DestinationPaths::UnwritableAlert g_alert;

QString withoutLastComponent(const QString& path) {
    const QString cleaned = QDir::cleanPath(path);
    const qsizetype slash = cleaned.lastIndexOf(u'/');
    if (slash <= 0) {
        return slash == 0 ? QStringLiteral("/") : QString();
    }
    return cleaned.left(slash);
}

// Reduces a relative path to components that can only go down: empty components vanish, "."
// and ".." lose their meaning, NUL characters (which no Linux name may hold) are removed, and
// each component fits the file system's 255 bytes.
QStringList safeComponents(const QString& relative) {
    QStringList out;
    for (QString component : relative.split(u'/', Qt::SkipEmptyParts)) {
        component.remove(QChar(u'\0'));
        if (component.isEmpty()) {
            continue;
        }
        if (component == u"." || component == u"..") {
            component.fill(u'_');
        }
        out.append(CustomPath::fitComponentToFileSystem(component));
    }
    return out;
}

QString applyWindowsRules(QString path) {
    path.replace(u'<', u'-');
    path.replace(u'>', u'-');
    path.remove(u'"');
    path.replace(u'|', u' ');
    path.remove(u'?');
    path.replace(u'*', u' ');
    path.replace(u'^', u' ');
    return path;
}

struct MessageFacts {
    QString subject;
    std::optional<QDateTime> date;
    QString emailFrom;
    QString emailTo;
    QString fromLast;
    QString toLast;
};

MessageFacts factsOf(MCOAbstractMessage& message) {
    MCOMessageHeader& header = message.header();
    MessageFacts facts;
    facts.subject = header.subject();
    facts.date = MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(header);

    const std::optional<MCOAddress>& from = header.from();
    const std::optional<MCOAddress>& sender = header.sender();
    facts.emailFrom =
        from && !from->mailbox.isEmpty() ? from->mailbox : QStringLiteral("fromEmailNA");
    QString senderName;
    if (from && !from->displayName.isEmpty()) {
        senderName = from->displayName;
    } else if (sender && !sender->displayName.isEmpty()) {
        senderName = sender->displayName;
    } else if (from) {
        senderName = from->mailbox;
    }

    QString recipientName = QStringLiteral("na");
    facts.emailTo = QStringLiteral("toEmailNA");
    if (!header.to().isEmpty()) {
        const MCOAddress& first = header.to().first();
        recipientName = first.displayName.isEmpty() ? first.mailbox : first.displayName;
        if (!first.mailbox.isEmpty()) {
            facts.emailTo = first.mailbox;
        }
    }
    facts.fromLast = DestinationPaths::stripFirstName(senderName);
    facts.toLast = DestinationPaths::stripFirstName(recipientName);
    return facts;
}

} // namespace

UnwritablePathError::UnwritablePathError(QString path, QString error)
    : std::runtime_error("Bad unwritable path")
    , m_path(std::move(path))
    , m_error(std::move(error)) {
}

QString DestinationPaths::chosenDestination(const JobOptions& options) {
    if (options.destFolderOverride && !options.destFolderOverride->isEmpty()) {
        return *options.destFolderOverride;
    }
    if (!options.destFolder.isEmpty()) {
        return options.destFolder;
    }
    const QString fallback = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) +
                             QStringLiteral("/Tessaly");
    qCWarning(lcRender).noquote() << "Emergency!! destinationFolder path is now" << fallback;
    return fallback;
}

QString DestinationPaths::destinationSubFolder(const QString& mainFolder,
                                               const QString& mailFolder) {
    QStringList components;
    if (!mainFolder.isEmpty()) {
        components.append(safeComponents(CustomPath::sanitizePathComponentPart(mainFolder, true)));
    }
    if (!mailFolder.isEmpty()) {
        components.append(safeComponents(CustomPath::sanitizePathComponentPart(mailFolder, false)));
    }
    if (components.size() >= 2 && components[0] == components[1]) {
        components.removeFirst();
    }
    return components.join(u'/');
}

QString DestinationPaths::destinationFolder(const QString& destFolder, const QString& mainFolder,
                                            const QString& mailFolder) {
    QString folder = destFolder;
    if (folder.isEmpty()) {
        JobOptions none;
        folder = chosenDestination(none);
    }
    const QString sub = destinationSubFolder(mainFolder, mailFolder);
    if (!sub.isEmpty()) {
        folder = QDir::cleanPath(folder) + u'/' + sub;
    }
    if (!QDir().mkpath(folder)) {
        qCWarning(lcRender) << "Could not create destination directory";
    }
    return folder;
}

QString DestinationPaths::computeDestinationPath(MCOAbstractMessage& message,
                                                 const QString& mainFolder,
                                                 const QString& mailFolder, FormatKey optionsFormat,
                                                 const QString& fileName,
                                                 const JobOptions& options) {
    const QString& format = options.format(optionsFormat);
    if (format.size() < kMinFormatLength) {
        return {};
    }
    QString destination = QDir::cleanPath(chosenDestination(options));
    const MessageFacts facts = factsOf(message);

    const QString sub = destinationSubFolder(mainFolder, mailFolder);
    const QString expansion =
        CustomPath::substituteFormat(format, facts.date, facts.subject, facts.fromLast,
                                     facts.toLast, facts.emailFrom, facts.emailTo, fileName);
    QString relative = sub.isEmpty() ? expansion : sub + u'/' + expansion;
    if (useWindowsFileNames(options)) {
        relative = applyWindowsRules(relative);
    }
    QStringList components = safeComponents(relative);
    if (components.isEmpty()) {
        // Nothing of the format survived; a name is still needed so the path is a file's.
        components.append(QStringLiteral("untitled"));
    }
    if (lastPathComponent(destination) == components.first() && destination != u"/") {
        destination = withoutLastComponent(destination);
    }
    if (destination.endsWith(u'/')) {
        return destination + components.join(u'/');
    }
    return destination + u'/' + components.join(u'/');
}

QString DestinationPaths::destinationPath(MCOAbstractMessage& message, const QString& mainFolder,
                                          const QString& mailFolder, FormatKey optionsFormat,
                                          const QString& fileName, const JobOptions& options) {
    const QString path =
        computeDestinationPath(message, mainFolder, mailFolder, optionsFormat, fileName, options);
    if (!path.isEmpty()) {
        // A failure shows up later as a failed write, where it is handled.
        QDir().mkpath(withoutLastComponent(path));
    }
    return path;
}

namespace {

QString numberedComponent(const QString& name, int number, bool keepExtension) {
    qsizetype dot = keepExtension ? name.lastIndexOf(u'.') : -1;
    if (dot < 0) {
        dot = name.size(); // a name of only an extension (".pdf") still keeps it last
    }
    const QString suffix = QStringLiteral(" %1").arg(number) + name.mid(dot);
    QString stem = name.left(dot);
    const qsizetype room = CustomPath::kMaxComponentBytes - suffix.toUtf8().size();
    // Cut from the end of the stem, whole characters only.
    if (stem.toUtf8().size() > room) {
        QByteArray bytes = stem.toUtf8().left(std::max<qsizetype>(room, 0));
        while (!bytes.isEmpty() && (static_cast<unsigned char>(bytes.back()) & 0xC0) == 0x80) {
            bytes.chop(1);
        }
        if (!bytes.isEmpty() && static_cast<unsigned char>(bytes.back()) >= 0xC0) {
            bytes.chop(1);
        }
        stem = QString::fromUtf8(bytes);
    }
    return stem + suffix;
}

QString withNumberedLast(const QString& path, int number, bool keepExtension) {
    if (number < 2 || path.isEmpty()) {
        return path;
    }
    const qsizetype slash = path.lastIndexOf(u'/');
    return path.left(slash + 1) + numberedComponent(path.mid(slash + 1), number, keepExtension);
}

} // namespace

QString DestinationPaths::numberedFile(const QString& path, int number) {
    return withNumberedLast(path, number, true);
}

QString DestinationPaths::numberedFolder(const QString& path, int number) {
    return withNumberedLast(path, number, false);
}

QString DestinationPaths::numberedAttachmentPath(const QString& attachmentPath,
                                                 const QString& mainPath, int number) {
    if (number < 2 || attachmentPath.isEmpty()) {
        return attachmentPath;
    }
    const QString folder = withoutLastComponent(attachmentPath);
    if (mainPath.isEmpty() || folder == withoutLastComponent(mainPath) || folder.size() <= 1) {
        return attachmentPath;
    }
    return numberedFolder(folder, number) + u'/' + lastPathComponent(attachmentPath);
}

QString DestinationPaths::stripFirstName(const QString& name) {
    const QStringList parts = name.split(u' ');
    if (parts.size() == 2) {
        return parts[1];
    }
    if (parts.size() == 3) {
        return parts[2];
    }
    return name;
}

bool DestinationPaths::useWindowsFileNames(const JobOptions& options) {
    return options.windowsFilenames.value_or(true);
}

QString DestinationPaths::justFileName(const MCOAttachment& part) {
    const qsizetype size = part.data.size();
    const QString noname = QStringLiteral("noname %1").arg(size);
    QString name = lastPathComponent(part.filename);
    if (name.isEmpty()) {
        return noname;
    }
    if (CustomPath::sanitizePathComponentPart(name, false) == u"..not found..") {
        qCWarning(lcRender)
            << "very likely this be bad It will not usually even print the next line...";
        return noname;
    }
    const qsizetype utf8Size = name.toUtf8().size();
    if (utf8Size > name.size() + 4 || (utf8Size == 0 && !name.isEmpty())) {
        const qsizetype nul = name.indexOf(QChar(u'\0'));
        if (nul >= 0) {
            name.truncate(nul);
            qCInfo(lcRender).noquote() << "fixed string is :" << name;
        }
    }
    name.remove(QChar(u'\0'));
    // A name that cleans to nothing ("..", "...") would name the attachments folder itself.
    if (CustomPath::sanitizePathComponentPart(name, true).isEmpty()) {
        return noname;
    }
    return name;
}

void DestinationPaths::setUnwritablePathAlert(UnwritableAlert alert) {
    std::lock_guard lock(g_alertMutex);
    g_alert = std::move(alert);
}

void DestinationPaths::testDestinationFilePath(const QString& path) {
    const WriteOutcome outcome = writeFileAtomically(path, "d", ExistingFile::Replace);
    if (outcome.written()) {
        QFile::remove(path);
        return;
    }
    const QString error = outcome.error.isEmpty() ? QStringLiteral("null error") : outcome.error;
    if (++g_probeFailures == 5) {
        std::lock_guard lock(g_alertMutex);
        if (g_alert) {
            g_alert(path, error);
        }
    }
    throw UnwritablePathError(path, error);
}

} // namespace tessaly
