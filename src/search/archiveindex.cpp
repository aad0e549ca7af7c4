#include "search/archiveindex.h"

#include "search/indexschema.h"
#include "search/textfold.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace tessaly {

namespace {

const QString kCreateVersion =
    QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");

// The index holds the addresses and subjects of the user's mail: its folder is theirs alone.
bool makePrivateFolder(const QString& folder, QString* error) {
    if (QFileInfo(folder).isDir()) {
        return true;
    }
    const QFileInfo info(folder);
    if (!QDir().mkpath(info.absolutePath()) ||
        !QDir().mkdir(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        if (!QFileInfo(folder).isDir()) { // another process may have just made it
            if (error) {
                *error = QStringLiteral("cannot make the folder %1").arg(folder);
            }
            return false;
        }
    }
    return true;
}

QVariant textOrNull(const QString& text) {
    return text.isEmpty() ? QVariant() : QVariant(text);
}

} // namespace

QString ArchiveIndex::defaultPath() {
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty() || !QDir::isAbsolutePath(data)) {
        data = QDir::homePath() + QStringLiteral("/.local/share");
    }
    return data + QStringLiteral("/tessaly/index.sqlite");
}

ArchiveIndex::ArchiveIndex(std::unique_ptr<SqliteDatabase> db, QString path)
    : m_db(std::move(db))
    , m_path(std::move(path)) {
}

std::unique_ptr<ArchiveIndex> ArchiveIndex::open(const QString& path, QString* error) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    if (!makePrivateFolder(QFileInfo(absolute).absolutePath(), error)) {
        return nullptr;
    }
    std::unique_ptr<SqliteDatabase> db =
        SqliteDatabase::open(absolute, SqliteDatabase::Mode::Create, error);
    if (!db) {
        return nullptr;
    }
    std::unique_ptr<ArchiveIndex> index(new ArchiveIndex(std::move(db), absolute));
    if (!index->prepareSchema()) {
        if (error) {
            *error = index->lastError();
        }
        return nullptr;
    }
    return index;
}

bool ArchiveIndex::fail(const QString& context) {
    m_error = context + QStringLiteral(": ") + m_db->lastError();
    return false;
}

bool ArchiveIndex::prepareSchema() {
    if (!m_db->exec(kCreateVersion)) {
        return fail(QStringLiteral("cannot make the index"));
    }
    SqliteTransaction transaction(*m_db);
    if (!transaction.began()) {
        return fail(QStringLiteral("cannot open the index"));
    }
    std::vector<SqliteDatabase::Row> versions;
    std::vector<SqliteDatabase::Row> tables;
    if (!m_db->query(QStringLiteral("SELECT version FROM schema_version"), {}, &versions) ||
        !m_db->query(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND "
                                    "name IN ('files', 'words', 'grams')"),
                     {}, &tables)) {
        return fail(QStringLiteral("cannot read the index"));
    }
    const bool current = versions.size() == 1 &&
                         versions.front().front().toLongLong() == indexschema::kSchemaVersion;
    if (!current) {
        // Whatever another version left is only a cache of the archive: it is made anew.
        if (!m_db->exec(QStringLiteral("DROP TABLE IF EXISTS words; DROP TABLE IF EXISTS grams;"
                                       "DROP TABLE IF EXISTS files; DELETE FROM schema_version")) ||
            !m_db->query(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"),
                         {indexschema::kSchemaVersion})) {
            return fail(QStringLiteral("cannot rebuild the index"));
        }
    }
    if (!current || tables.size() != 3) {
        if (!m_db->exec(indexschema::kCreateFiles) ||
            !m_db->exec(indexschema::kCreateFilesIndexes) ||
            !m_db->exec(indexschema::kCreateWords) || !m_db->exec(indexschema::kCreateGrams)) {
            return fail(QStringLiteral("cannot make the index tables"));
        }
    }
    if (!transaction.commit()) {
        return fail(QStringLiteral("cannot write the index"));
    }
    return true;
}

bool ArchiveIndex::write(const IndexedFile& file) {
    const QString foldedName = foldForSearch(file.displayName);
    const QString foldedKeywords = foldForSearch(file.keywords);
    const QString foldedAuthors = foldForSearch(file.authors);
    std::vector<SqliteDatabase::Row> ids;
    // The row keeps its id when the file is replaced, so the full-text rows follow it.
    if (!m_db->query(
            QStringLiteral(
                "INSERT INTO files (path, root, kind, display_name, keywords, authors, title, "
                "tags, folded_name, folded_keywords, folded_authors, content_date, mtime_ns, "
                "size, ledger_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                "ON CONFLICT (path) DO UPDATE SET root = excluded.root, kind = excluded.kind, "
                "display_name = excluded.display_name, keywords = excluded.keywords, "
                "authors = excluded.authors, title = excluded.title, tags = excluded.tags, "
                "folded_name = excluded.folded_name, folded_keywords = excluded.folded_keywords, "
                "folded_authors = excluded.folded_authors, content_date = excluded.content_date, "
                "mtime_ns = excluded.mtime_ns, size = excluded.size, "
                "ledger_id = excluded.ledger_id RETURNING id"),
            {file.path, file.root, file.kind, file.displayName, file.keywords, file.authors,
             file.title, file.tags, foldedName, foldedKeywords, foldedAuthors,
             file.contentDate ? QVariant(*file.contentDate) : QVariant(), file.mtimeNs, file.size,
             textOrNull(file.ledgerId)},
            &ids) ||
        ids.size() != 1) {
        return fail(QStringLiteral("cannot index %1").arg(file.path));
    }
    const qint64 id = ids.front().front().toLongLong();
    if (!m_db->query(QStringLiteral("DELETE FROM words WHERE rowid = ?"), {id}) ||
        !m_db->query(QStringLiteral("DELETE FROM grams WHERE rowid = ?"), {id}) ||
        !m_db->query(QStringLiteral("INSERT INTO words (rowid, display_name, keywords, authors, "
                                    "title, tags, text_content) VALUES (?, ?, ?, ?, ?, ?, ?)"),
                     {id, file.displayName, file.keywords, file.authors, file.title, file.tags,
                      file.textContent}) ||
        !m_db->query(QStringLiteral("INSERT INTO grams (rowid, folded_name, folded_keywords, "
                                    "folded_authors) VALUES (?, ?, ?, ?)"),
                     {id, foldedName, foldedKeywords, foldedAuthors})) {
        return fail(QStringLiteral("cannot index the text of %1").arg(file.path));
    }
    return true;
}

bool ArchiveIndex::erase(const QString& path) {
    std::vector<SqliteDatabase::Row> ids;
    if (!m_db->query(QStringLiteral("DELETE FROM files WHERE path = ? RETURNING id"), {path},
                     &ids)) {
        return fail(QStringLiteral("cannot remove %1 from the index").arg(path));
    }
    for (const SqliteDatabase::Row& row : ids) {
        const qint64 id = row.front().toLongLong();
        if (!m_db->query(QStringLiteral("DELETE FROM words WHERE rowid = ?"), {id}) ||
            !m_db->query(QStringLiteral("DELETE FROM grams WHERE rowid = ?"), {id})) {
            return fail(QStringLiteral("cannot remove the text of %1 from the index").arg(path));
        }
    }
    return true;
}

bool ArchiveIndex::upsert(const std::vector<IndexedFile>& files) {
    if (files.empty()) {
        return true;
    }
    SqliteTransaction transaction(*m_db);
    if (!transaction.began()) {
        return fail(QStringLiteral("cannot write the index"));
    }
    for (const IndexedFile& file : files) {
        if (!write(file)) {
            return false;
        }
    }
    return transaction.commit() || fail(QStringLiteral("cannot write the index"));
}

bool ArchiveIndex::remove(const QStringList& paths) {
    if (paths.isEmpty()) {
        return true;
    }
    SqliteTransaction transaction(*m_db);
    if (!transaction.began()) {
        return fail(QStringLiteral("cannot write the index"));
    }
    for (const QString& path : paths) {
        if (!erase(path)) {
            return false;
        }
    }
    return transaction.commit() || fail(QStringLiteral("cannot write the index"));
}

bool ArchiveIndex::clear() {
    SqliteTransaction transaction(*m_db);
    if (!transaction.began() ||
        !m_db->exec(QStringLiteral("DELETE FROM words; DELETE FROM grams; DELETE FROM files"))) {
        return fail(QStringLiteral("cannot empty the index"));
    }
    return transaction.commit() || fail(QStringLiteral("cannot empty the index"));
}

bool ArchiveIndex::stampsUnder(const QString& root, std::vector<IndexedStamp>* stamps) {
    // A range on the unique path index instead of LIKE, whose wildcards a folder name may hold:
    // every path that begins with "root/" sorts between "root/" and "root0".
    QString prefix = QDir::cleanPath(root);
    if (!prefix.endsWith(u'/')) {
        prefix += u'/';
    }
    QString end = prefix;
    end.back() = u'0';
    std::vector<SqliteDatabase::Row> rows;
    if (!m_db->query(QStringLiteral("SELECT path, mtime_ns, size FROM files WHERE path = ? OR "
                                    "(path >= ? AND path < ?)"),
                     {QDir::cleanPath(root), prefix, end}, &rows)) {
        return fail(QStringLiteral("cannot read the index"));
    }
    stamps->clear();
    stamps->reserve(rows.size());
    for (const SqliteDatabase::Row& row : rows) {
        stamps->push_back({row[0].toString(), row[1].toLongLong(), row[2].toLongLong()});
    }
    return true;
}

bool ArchiveIndex::query(const QString& sql, const QVariantList& parameters,
                         std::vector<SqliteDatabase::Row>* rows) {
    return m_db->query(sql, parameters, rows) || fail(QStringLiteral("cannot search the index"));
}

} // namespace tessaly
