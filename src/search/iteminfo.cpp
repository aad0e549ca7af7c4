#include "search/iteminfo.h"

#include "platform/pdf/pdfinfo.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QMap>
#include <QPdfDocument>
#include <QStringList>
#include <QUrl>

#include <filesystem>
#include <system_error>

namespace tessaly {

namespace {

Q_LOGGING_CATEGORY(lcItemInfo, "tessaly.search.info")

enum class Kind { Pdf, Image, Other };

Kind kindOf(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(u'.');
    const QString extension = dot < 0 ? QString() : fileName.mid(dot + 1).toLower();
    if (extension == u"pdf") {
        return Kind::Pdf;
    }
    static const QStringList images{QStringLiteral("jpg"), QStringLiteral("png"),
                                    QStringLiteral("gif"), QStringLiteral("tif"),
                                    QStringLiteral("tiff")};
    return images.contains(extension) ? Kind::Image : Kind::Other;
}

void count(ItemInfo& info, Kind kind) {
    switch (kind) {
    case Kind::Pdf:
        ++info.numPDFs;
        break;
    case Kind::Image:
        ++info.numImages;
        break;
    case Kind::Other:
        ++info.numOther;
        break;
    }
}

QString nameOf(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.filename().native()));
}

void logWalkError(const std::error_code& error, const std::filesystem::path& where) {
    const QString url =
        QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(where.native())))
            .toString();
    qCWarning(lcItemInfo).noquote()
        << QStringLiteral("[Error] %1 (%2)").arg(QString::fromStdString(error.message()), url);
}

// The tags as the archive writes them into the PDF: its Keywords, comma separated.
QString pdfTags(const QString& path) {
    QMap<QString, QString> attributes;
    QString error;
    if (!PdfInfo::read(path, attributes, &error)) {
        return {};
    }
    QStringList tags;
    for (const QString& tag : attributes.value(QStringLiteral("Keywords")).split(u',')) {
        const QString trimmed = tag.trimmed();
        if (!trimmed.isEmpty()) {
            tags.append(trimmed);
        }
    }
    return tags.join(QStringLiteral(", "));
}

} // namespace

ItemInfo ItemInfo::getFolderInfo(const QString& path, const std::atomic<bool>* stop) {
    namespace fs = std::filesystem;
    ItemInfo info;
    info.path = path;
    info.isFolder = true;
    std::error_code error;
    // Symbolic links are neither followed nor counted: a link back up the tree would never end.
    const fs::path root = QFile::encodeName(path).toStdString();
    fs::recursive_directory_iterator walk(root, fs::directory_options::none, error);
    if (error) {
        logWalkError(error, root);
        return info;
    }
    fs::path current = root;
    for (; walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (error) {
            break;
        }
        current = walk->path();
        if (stop && stop->load(std::memory_order_relaxed)) {
            return info;
        }
        const fs::directory_entry& entry = *walk;
        const QString name = nameOf(entry.path());
        const fs::file_status status = entry.symlink_status(error);
        if (error) {
            break;
        }
        if (fs::is_directory(status)) {
            if (name.startsWith(u'.') || name.startsWith(u'_')) {
                walk.disable_recursion_pending();
            }
            continue;
        }
        if (name.startsWith(u'.') || !fs::is_regular_file(status)) {
            continue;
        }
        const std::uintmax_t size = entry.file_size(error);
        if (error) {
            break;
        }
        info.totalBytes += qint64(size);
        count(info, kindOf(name));
    }
    if (error) {
        logWalkError(error, current);
    }
    return info;
}

QString ItemInfo::createdText(const QDateTime& created, const QLocale& locale) {
    QString date = locale.dateFormat(QLocale::ShortFormat);
    if (!date.contains(u"yyyy")) {
        date.replace(QStringLiteral("yy"), QStringLiteral("yyyy"));
    }
    QString time = locale.timeFormat(QLocale::ShortFormat);
    if (!time.contains(u's')) {
        time.replace(QStringLiteral("mm"), QStringLiteral("mm:ss"));
    }
    return locale.toString(created.date(), date) + u' ' + locale.toString(created.time(), time);
}

ItemInfo ItemInfo::getFileInfo(const QString& path) {
    ItemInfo info;
    info.path = path;
    const QFileInfo file(path);
    info.totalBytes = file.size();
    const QDateTime created = file.birthTime();
    if (created.isValid()) {
        info.created = createdText(created);
    }
    const Kind kind = kindOf(file.fileName());
    count(info, kind);
    info.pageCount = 1;
    if (kind == Kind::Pdf) {
        QPdfDocument document;
        if (document.load(path) == QPdfDocument::Error::None) {
            info.pageCount = document.pageCount();
            info.tags = pdfTags(path);
        }
    }
    return info;
}

std::optional<ItemInfo> ItemInfo::forPath(const QString& path, const std::atomic<bool>* stop) {
    const QFileInfo file(path);
    if (path.isEmpty() || !file.exists()) {
        return std::nullopt;
    }
    return file.isDir() ? getFolderInfo(path, stop) : getFileInfo(path);
}

QString ItemInfo::infoText(const ItemInfo& info) {
    if (info.isFolder) {
        return QStringLiteral("PDFs: %1\nImages: %2\nOther: %3\nSize: %4 MB")
            .arg(QString::number(info.numPDFs), QString::number(info.numImages),
                 QString::number(info.numOther), QString::number(info.totalBytes / 1000000));
    }
    QString tags = info.tags;
    tags.replace(QStringLiteral(", "), QStringLiteral("\n"));
    // One pass over the pattern: a date or tag holding "%1" stays as it is.
    return QStringLiteral("%1\nPages: %2\nSize: %3 MB\n%4")
        .arg(info.created, QString::number(info.pageCount),
             QString::asprintf("%.4f", double(info.totalBytes) / 1000000), tags);
}

} // namespace tessaly
