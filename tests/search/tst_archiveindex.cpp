#include "platform/index/sqlitedatabase.h"
#include "search/archiveindex.h"
#include "search/indexschema.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

IndexedFile record(const QString& path, const QString& title) {
    IndexedFile file;
    file.path = path;
    file.root = QStringLiteral("/archive");
    file.kind = QStringLiteral("pdf");
    file.displayName = QFileInfo(path).fileName();
    file.title = title;
    file.authors = QStringLiteral("Jürgen Müller <jm@example.org>");
    file.keywords = QStringLiteral("jm@example.org, anna@example.com");
    file.tags = QStringLiteral("Work,Zürich");
    file.textContent = QStringLiteral("Body text mentioning Straße");
    file.contentDate = 1'700'000'000;
    file.mtimeNs = 5;
    file.size = 100;
    return file;
}

} // namespace

class TestArchiveIndex : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void batchesKeepTheThreeTablesInStep();
    void stampsAndRemovalByFolder();
    void failedBatchWritesNothing();
    void reopenKeepsAndOtherVersionRebuilds();

private:
    QString indexPath() const {
        return m_dir->filePath(QStringLiteral("data/tessaly/index.sqlite"));
    }
    qint64 count(const QString& sql, const QVariantList& parameters = {});
    QList<qint64> ids(const QString& table);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ArchiveIndex> m_index;
};

void TestArchiveIndex::init() {
    m_index.reset();
    m_dir = std::make_unique<QTemporaryDir>();
    QString error;
    m_index = ArchiveIndex::open(indexPath(), &error);
    QVERIFY2(m_index, qPrintable(error));
}

qint64 TestArchiveIndex::count(const QString& sql, const QVariantList& parameters) {
    std::vector<SqliteDatabase::Row> rows;
    if (!m_index->query(sql, parameters, &rows) || rows.size() != 1) {
        qWarning() << m_index->lastError();
        return -1;
    }
    return rows.front().front().toLongLong();
}

QList<qint64> TestArchiveIndex::ids(const QString& table) {
    std::vector<SqliteDatabase::Row> rows;
    if (!m_index->query(QStringLiteral("SELECT rowid FROM %1 ORDER BY rowid").arg(table), {},
                        &rows)) {
        return {};
    }
    QList<qint64> result;
    for (const SqliteDatabase::Row& row : rows) {
        result.append(row.front().toLongLong());
    }
    return result;
}

void TestArchiveIndex::batchesKeepTheThreeTablesInStep() {
    // The folder holding addresses and subjects is the user's alone.
    const QFile::Permissions folder =
        QFileInfo(QFileInfo(indexPath()).absolutePath()).permissions();
    QVERIFY(folder.testFlags(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(!(folder & (QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther)));
    QVERIFY(m_index->upsert({record("/archive/a.pdf", "Grüße aus München"),
                             record("/archive/b.pdf", "Quarterly report"),
                             record("/archive/c.pdf", "Lunch")}));
    const QList<qint64> fileIds = ids(QStringLiteral("files"));
    QCOMPARE(fileIds.size(), 3);
    QCOMPARE(ids(QStringLiteral("words")), fileIds);
    QCOMPARE(ids(QStringLiteral("grams")), fileIds);

    // Case and diacritics are ignored by words; grams hold the folded text.
    QCOMPARE(count("SELECT count(*) FROM words WHERE words MATCH ?", {"title:munchen"}), 1);
    QCOMPARE(count("SELECT count(*) FROM words WHERE words MATCH ?", {"tags:zurich"}), 3);
    QCOMPARE(count("SELECT count(*) FROM grams WHERE grams MATCH ?", {"folded_authors:\"rgen m\""}),
             3);
    QCOMPARE(count("SELECT count(*) FROM files WHERE folded_authors LIKE ?", {"%müller%"}), 0);

    // Indexing a path again replaces its row under the same id, in all three tables.
    const qint64 before = count("SELECT id FROM files WHERE path = ?", {"/archive/a.pdf"});
    IndexedFile changed = record("/archive/a.pdf", "Renamed subject");
    changed.contentDate.reset();
    changed.ledgerId = QStringLiteral("ledger-1");
    QVERIFY(m_index->upsert({changed}));
    QCOMPARE(count("SELECT id FROM files WHERE path = ?", {"/archive/a.pdf"}), before);
    QCOMPARE(ids(QStringLiteral("words")), fileIds);
    QCOMPARE(ids(QStringLiteral("grams")), fileIds);
    QCOMPARE(count("SELECT count(*) FROM words WHERE words MATCH ?", {"title:munchen"}), 0);
    QCOMPARE(count("SELECT rowid FROM words WHERE words MATCH ?", {"title:renamed"}), before);
    QCOMPARE(count("SELECT count(*) FROM files WHERE content_date IS NULL AND ledger_id = ?",
                   {"ledger-1"}),
             1);
}

void TestArchiveIndex::stampsAndRemovalByFolder() {
    // Folder names with LIKE wildcards and a sibling that shares the prefix.
    QVERIFY(m_index->upsert({record("/m/arch%_1/x.pdf", "x"), record("/m/arch%_1/sub/y.pdf", "y"),
                             record("/m/arch%_10/z.pdf", "z"), record("/m/archA_1/w.pdf", "w")}));
    std::vector<IndexedStamp> stamps;
    QVERIFY(m_index->stampsUnder(QStringLiteral("/m/arch%_1/"), &stamps));
    QStringList paths;
    for (const IndexedStamp& stamp : stamps) {
        paths.append(stamp.path);
        QCOMPARE(stamp.mtimeNs, 5);
        QCOMPARE(stamp.size, 100);
    }
    paths.sort();
    QCOMPARE(paths, QStringList({"/m/arch%_1/sub/y.pdf", "/m/arch%_1/x.pdf"}));

    QVERIFY(m_index->remove({"/m/arch%_1/x.pdf", "/m/not-indexed.pdf"}));
    QCOMPARE(count("SELECT count(*) FROM files"), 3);
    QCOMPARE(ids(QStringLiteral("words")), ids(QStringLiteral("files")));
    QCOMPARE(ids(QStringLiteral("grams")), ids(QStringLiteral("files")));
    QCOMPARE(count("SELECT count(*) FROM words WHERE words MATCH ?", {"display_name:x"}), 0);

    QVERIFY(m_index->clear());
    QCOMPARE(count("SELECT count(*) FROM files"), 0);
    QCOMPARE(count("SELECT count(*) FROM words"), 0);
    QCOMPARE(count("SELECT count(*) FROM grams"), 0);
}

void TestArchiveIndex::failedBatchWritesNothing() {
    QVERIFY(m_index->upsert({record("/archive/kept.pdf", "Kept")}));
    {
        QString error;
        auto raw = SqliteDatabase::open(indexPath(), SqliteDatabase::Mode::Create, &error);
        QVERIFY2(raw, qPrintable(error));
        QVERIFY(raw->exec("CREATE TRIGGER refuse BEFORE INSERT ON files WHEN NEW.path LIKE "
                          "'%refused%' BEGIN SELECT RAISE(ABORT, 'refused'); END"));
    }
    QVERIFY(!m_index->upsert(
        {record("/archive/first.pdf", "First"), record("/archive/refused.pdf", "Refused")}));
    QVERIFY(m_index->lastError().contains("refused"));
    QCOMPARE(count("SELECT count(*) FROM files"), 1);
    QCOMPARE(count("SELECT count(*) FROM words"), 1);
    QCOMPARE(count("SELECT count(*) FROM grams"), 1);
    // The connection is usable after the failure.
    QVERIFY(m_index->upsert({record("/archive/next.pdf", "Next")}));
    QCOMPARE(count("SELECT count(*) FROM words"), 2);
}

void TestArchiveIndex::reopenKeepsAndOtherVersionRebuilds() {
    QVERIFY(m_index->upsert({record("/archive/a.pdf", "A"), record("/archive/b.pdf", "B")}));
    m_index.reset();
    QString error;
    m_index = ArchiveIndex::open(indexPath(), &error);
    QVERIFY2(m_index, qPrintable(error));
    QCOMPARE(count("SELECT count(*) FROM files"), 2);
    QCOMPARE(count("SELECT count(*) FROM words WHERE words MATCH ?", {"title:b"}), 1);

    QVERIFY(m_index->query("UPDATE schema_version SET version = ?",
                           {indexschema::kSchemaVersion + 1}, nullptr));
    QVERIFY(m_index->query("ALTER TABLE files ADD COLUMN stale TEXT", {}, nullptr));
    m_index.reset();
    m_index = ArchiveIndex::open(indexPath(), &error);
    QVERIFY2(m_index, qPrintable(error));
    QCOMPARE(count("SELECT count(*) FROM files"), 0);
    QCOMPARE(count("SELECT count(*) FROM words"), 0);
    QCOMPARE(count("SELECT version FROM schema_version"), indexschema::kSchemaVersion);
    QCOMPARE(count("SELECT count(*) FROM pragma_table_info('files') WHERE name = 'stale'"), 0);
    QVERIFY(m_index->upsert({record("/archive/c.pdf", "C")}));
    QCOMPARE(count("SELECT count(*) FROM grams"), 1);
}

QTEST_GUILESS_MAIN(TestArchiveIndex)
#include "tst_archiveindex.moc"
