#include "search/searchitem.h"

#include "search/archiveindexer.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <algorithm>

namespace tessaly {

namespace {

// The walk over the folders makes items on its own thread while the view makes them on the
// main thread; both consult the one table.
struct AttachmentsTable {
    QMutex mutex;
    QHash<QString, bool> exists;
};

AttachmentsTable& attachmentsTable() {
    static AttachmentsTable table;
    return table;
}

QString lastComponent(const QString& path) {
    const QString clean = QDir::cleanPath(path);
    return clean == u"/" ? QString() : clean.section(u'/', -1);
}

// Files below `folder` in name order, depth first, skipping anything hidden; stops at `limit`.
void collectFiles(const QString& folder, int limit, QStringList* files) {
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (files->size() >= limit) {
            return;
        }
        if (entry.fileName().startsWith(u'.')) {
            continue;
        }
        if (entry.isDir()) {
            // A link to a folder could lead back up and round for ever.
            if (!entry.isSymLink()) {
                collectFiles(entry.filePath(), limit, files);
            }
        } else if (entry.exists()) {
            files->append(entry.filePath());
        }
    }
}

} // namespace

SearchItem SearchItem::fromIndexRow(const SqliteDatabase::Row& row) {
    SearchItem item;
    if (row.size() < 6) {
        return item;
    }
    item.m_path = row[1].toString();
    item.m_kind = row[2].toString();
    const QString title = row[3].toString().trimmed();
    item.m_title =
        titleFrom(title.isEmpty() ? QFileInfo(item.m_path).fileName() : title, item.m_path);
    item.m_authors = row[4].toString();
    if (!row[5].isNull()) {
        item.m_creationDate = QDateTime::fromSecsSinceEpoch(row[5].toLongLong(), Qt::UTC);
    }
    item.m_isAttachment = item.m_kind == u"attachment";
    return item;
}

SearchItem SearchItem::fromPath(const QString& path) {
    SearchItem item;
    item.m_path = path;
    const QFileInfo info(path);
    item.m_kind = info.isDir() ? QStringLiteral("folder") : ArchiveIndexer::kindOf(path);
    item.m_title = titleFrom(info.fileName(), path);
    if (info.exists()) {
        item.m_creationDate = info.lastModified().toUTC();
    }
    return item;
}

QString SearchItem::titleFrom(const QString& displayName, const QString& path) {
    return stripAnnoyingStuff(displayName.size() < 3 ? getItemTitlePerhapsMonth(path)
                                                     : displayName);
}

QString SearchItem::attachmentsFolderPath() const {
    if (m_path.isEmpty()) {
        return {};
    }
    const QFileInfo info(m_path);
    const QString suffix = info.suffix();
    const QString stem = suffix.isEmpty() ? m_path : m_path.chopped(suffix.size() + 1);
    return stem + QStringLiteral(" (attachments)");
}

bool SearchItem::hasAttachments() const {
    if (m_path.isEmpty()) {
        return false;
    }
    AttachmentsTable& table = attachmentsTable();
    QMutexLocker lock(&table.mutex);
    const auto known = table.exists.constFind(m_path);
    if (known != table.exists.constEnd()) {
        return *known;
    }
    const bool exists = QFileInfo(attachmentsFolderPath()).isDir();
    table.exists.insert(m_path, exists);
    return exists;
}

int SearchItem::addAttachments(QList<SearchItem>* items) const {
    if (!hasAttachments()) {
        return 0;
    }
    QStringList files;
    collectFiles(attachmentsFolderPath(), kMaxAttachments, &files);
    for (const QString& file : std::as_const(files)) {
        SearchItem attachment = fromPath(file);
        attachment.m_isAttachment = true;
        attachment.m_kind = QStringLiteral("attachment");
        items->append(attachment);
    }
    return static_cast<int>(files.size());
}

QString SearchItem::stripAnnoyingStuff(const QString& name) {
    QString text = name;
    if (text.startsWith(u"20") || text.startsWith(u"19")) {
        // "2019-03-05 12.34.56Z  Invoice.pdf": the stamp the archive's file names begin with.
        if (text.size() >= 21 && text[7] == u'-' && text[13] == u'.' && text[19] == u'Z') {
            text = text.mid(20);
            if (text.endsWith(u".pdf")) {
                text.chop(4);
            }
        }
    } else if (text.endsWith(u".imapmbox")) {
        text.chop(9);
    } else if (text.endsWith(u".mbox")) {
        text.chop(5);
    }
    return text.trimmed();
}

QString SearchItem::getItemTitlePerhapsMonth(const QString& path) {
    const QString clean = QDir::cleanPath(path);
    const QString name = lastComponent(clean);
    const QString parent = lastComponent(QFileInfo(clean).path());
    if (parent.startsWith(u"20") && name.size() < 3) {
        return getMonthName(name.toInt());
    }
    return name;
}

QString SearchItem::getMonthName(int month) {
    // Made once: the grid asks for every month folder it shows.
    static const QStringList names = [] {
        QStringList list;
        const QLocale locale;
        for (int m = 1; m <= 12; ++m) {
            list.append(locale.standaloneMonthName(m));
        }
        return list;
    }();
    if (month >= 13) {
        return QStringLiteral("of");
    }
    if (month <= 0) {
        return QStringLiteral("n/a");
    }
    return names.at(month - 1);
}

} // namespace tessaly
