#include "platform/index/sqlitedatabase.h"
#include "search/indexschema.h"
#include "search/querysql.h"
#include "search/searchquery.h"
#include "search/textfold.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace tessaly;

namespace {

struct Sample {
    QString path;
    QString kind;
    QString keywords;
    QString authors;
    QString title;
    QString text;
    QVariant date; // invalid: undated
};

QVariant date(int year, int month) {
    return QDateTime(QDate(year, month, 1), QTime(12, 0), Qt::UTC).toSecsSinceEpoch();
}

const QString kReise = "/arch/2024/Reise nach München.pdf";
const QString kInvoice = "/arch/2023/Invoice Q3.pdf";
const QString kHostile = "/arch/2022/NEAR(a b) ^x -x 100%_done.pdf";
const QString kNotes = "/arch/undated/notes.eml";
const QString kOtherRoot = "/arch-other/2025/Reise.pdf";
const QString kOtherCase = "/Arch/2025/Reise.pdf";

const QList<Sample> kSamples = {
    {kReise, "pdf", "anna@example.org, bob@example.com", "anna@example.org", "Reise nach München",
     "To: Bob Smith\nHallo Welt, wir fahren nach München. Plan a", date(2024, 5)},
    {kInvoice, "pdf", "billing@shop.example, carl@example.com", "billing@shop.example",
     "Invoice Q3", "Your invoice for Q3 is due.\nTo: Carl", date(2023, 10)},
    {kHostile, "pdf", "", "mallory@example.net", "NEAR(a b)", "AND OR NOT drop table",
     date(2022, 1)},
    {kNotes, "eml", "", "zoë@example.de", "", "alphabet soup", QVariant()},
    {kOtherRoot, "pdf", "", "", "Reise", "Reise", date(2025, 1)},
    {kOtherCase, "pdf", "", "", "Reise", "Reise", date(2025, 2)},
};

} // namespace

class TestQuerySql : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void matching_data();
    void matching();
    void hostileTerms_data();
    void hostileTerms();
    void roots_data();
    void roots();
    void newestFirstWithLimit();

private:
    QStringList run(const SearchQuery& query, const QStringList& roots = {"/arch"},
                    std::optional<int> limit = std::nullopt);

    QTemporaryDir m_dir;
    std::unique_ptr<SqliteDatabase> m_db;
};

void TestQuerySql::initTestCase() {
    QVERIFY(m_dir.isValid());
    QString error;
    m_db =
        SqliteDatabase::open(m_dir.filePath("index.sqlite"), SqliteDatabase::Mode::Create, &error);
    QVERIFY2(m_db, qPrintable(error));
    QVERIFY(m_db->exec(indexschema::kCreateFiles));
    QVERIFY(m_db->exec(indexschema::kCreateFilesIndexes));
    QVERIFY(m_db->exec(indexschema::kCreateWords));
    QVERIFY(m_db->exec(indexschema::kCreateGrams));
    for (const Sample& sample : kSamples) {
        const QString name = sample.path.section('/', -1);
        std::vector<SqliteDatabase::Row> ids;
        QVERIFY2(m_db->query("INSERT INTO files (path, root, kind, display_name, keywords, "
                             "authors, title, tags, folded_name, folded_keywords, folded_authors, "
                             "content_date, mtime_ns, size) VALUES (?, ?, ?, ?, ?, ?, ?, '', ?, "
                             "?, ?, ?, 0, 0) RETURNING id",
                             {sample.path, sample.path.section('/', 0, 1), sample.kind, name,
                              sample.keywords, sample.authors, sample.title, foldForSearch(name),
                              foldForSearch(sample.keywords), foldForSearch(sample.authors),
                              sample.date},
                             &ids),
                 qPrintable(m_db->lastError()));
        const QVariant id = ids.at(0).at(0);
        QVERIFY2(
            m_db->query("INSERT INTO words (rowid, display_name, keywords, authors, title, "
                        "tags, text_content) VALUES (?, ?, ?, ?, ?, '', ?)",
                        {id, name, sample.keywords, sample.authors, sample.title, sample.text}),
            qPrintable(m_db->lastError()));
        QVERIFY2(m_db->query("INSERT INTO grams (rowid, folded_name, folded_keywords, "
                             "folded_authors) VALUES (?, ?, ?, ?)",
                             {id, foldForSearch(name), foldForSearch(sample.keywords),
                              foldForSearch(sample.authors)}),
                 qPrintable(m_db->lastError()));
    }
}

QStringList TestQuerySql::run(const SearchQuery& query, const QStringList& roots,
                              std::optional<int> limit) {
    const SqlQuery sql = QuerySql::select(query, roots, limit);
    std::vector<SqliteDatabase::Row> rows;
    if (!m_db->query(sql.sql, sql.parameters, &rows)) {
        qWarning() << sql.sql << sql.parameters;
        QTest::qFail(qPrintable(m_db->lastError()), __FILE__, __LINE__);
        return {"failed"};
    }
    QStringList paths;
    for (const SqliteDatabase::Row& row : rows) {
        paths.append(row.at(1).toString());
    }
    return paths;
}

void TestQuerySql::matching_data() {
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("everywhere");
    QTest::addColumn<QStringList>("expected");
    const QStringList reise{kReise};
    QTest::newRow("subject without diacritics") << "munchen"
                                                << ""
                                                << "" << reise;
    QTest::newRow("subject in capitals") << "MÜNCHEN"
                                         << ""
                                         << "" << reise;
    QTest::newRow("subject inside a word") << "ünch"
                                           << ""
                                           << "" << reise;
    QTest::newRow("subject, two characters inside") << "q3"
                                                    << ""
                                                    << "" << QStringList{kInvoice};
    QTest::newRow("subject, one character starts the name") << "I"
                                                            << ""
                                                            << "" << QStringList{kInvoice};
    QTest::newRow("subject, one character inside does not") << "q"
                                                            << ""
                                                            << "" << QStringList{};
    QTest::newRow("subject phrase") << "\"nach münchen\""
                                    << ""
                                    << "" << reise;
    QTest::newRow("address in capitals") << ""
                                         << "BOB@EXAMPLE"
                                         << "" << reise;
    QTest::newRow("address without diacritics") << ""
                                                << "zoe@"
                                                << "" << QStringList{kNotes};
    QTest::newRow("address, one character starts any keyword") << ""
                                                               << "c"
                                                               << "" << QStringList{kInvoice};
    QTest::newRow("address, one character starts the author") << ""
                                                              << "m"
                                                              << "" << QStringList{kHostile};
    QTest::newRow("everything without diacritics") << ""
                                                   << ""
                                                   << "munchen" << reise;
    QTest::newRow("everything, not inside a word") << ""
                                                   << ""
                                                   << "ünch" << QStringList{};
    QTest::newRow("everything, one character is a whole word")
        << ""
        << ""
        << "a" << QStringList{kReise, kHostile};
    QTest::newRow("everything phrase, last word a start") << ""
                                                          << ""
                                                          << "\"hallo we\"" << reise;
    QTest::newRow("everything phrase out of order") << ""
                                                    << ""
                                                    << "\"welt hallo\"" << QStringList{};
    QTest::newRow("to: pair joins") << ""
                                    << ""
                                    << "to: bob" << reise;
    QTest::newRow("to: pair joins, other file") << ""
                                                << ""
                                                << "to: carl" << QStringList{kInvoice};
    QTest::newRow("to: pair is one phrase") << ""
                                            << ""
                                            << "to: welt" << QStringList{};
    QTest::newRow("separate terms") << ""
                                    << ""
                                    << "to welt" << reise;
    QTest::newRow("fields and terms all apply") << "reise"
                                                << "carl"
                                                << "" << QStringList{};
    QTest::newRow("every field") << "reise"
                                 << "anna"
                                 << "hallo" << reise;
}

void TestQuerySql::matching() {
    QFETCH(QString, subject);
    QFETCH(QString, address);
    QFETCH(QString, everywhere);
    QFETCH(QStringList, expected);
    QCOMPARE(run(SearchQuery(subject, address, everywhere)), expected);
}

void TestQuerySql::hostileTerms_data() {
    QTest::addColumn<QString>("term");
    QTest::addColumn<QStringList>("subject");
    QTest::addColumn<QStringList>("address");
    QTest::addColumn<QStringList>("everywhere");
    const QStringList none;
    const QStringList hostile{kHostile};
    // A quote separates terms: a"b is "a" and "b", each a start or a whole word.
    QTest::newRow("quote") << "a\"b" << none << QStringList{kReise} << hostile;
    QTest::newRow("sql") << "'; DROP TABLE files; --" << none << none << none;
    QTest::newRow("near") << "NEAR(a b)" << hostile << none << hostile;
    QTest::newRow("caret") << "^x" << hostile << none << hostile;
    QTest::newRow("minus") << "-x" << hostile << none << hostile;
    QTest::newRow("star") << "x*" << none << none << hostile;
    QTest::newRow("open parenthesis") << "(x" << none << none << hostile;
    QTest::newRow("close parenthesis") << "x)" << none << none << hostile;
    QTest::newRow("parenthesis alone") << "(" << none << none << hostile;
    QTest::newRow("stars alone") << "***" << none << none << none;
    QTest::newRow("and") << "AND" << none << none << hostile;
    QTest::newRow("or") << "OR" << none << QStringList{kReise, kHostile}
                        << QStringList{kReise, kHostile};
    QTest::newRow("not") << "NOT" << QStringList{kNotes} << none << QStringList{kHostile, kNotes};
    QTest::newRow("percent") << "%" << none << none << hostile;
    QTest::newRow("underscore") << "_" << none << none << hostile;
    QTest::newRow("like wildcards as text") << "0%_d" << hostile << none << none;
    QTest::newRow("column filter") << "title:near" << none << none << none;
    QTest::newRow("or between words") << "soup OR alphabet" << none << none << none;
    // No term at all: the view browses instead; as SQL it is every file under the roots.
    const QStringList all{kReise, kInvoice, kHostile, kNotes};
    QTest::newRow("empty quotes") << "\"\"" << all << all << all;
}

// Each term alone in each field. Its words still count as words (so "or" finds "example.org"),
// but nothing in it acts as an operator, and the index is untouched.
void TestQuerySql::hostileTerms() {
    QFETCH(QString, term);
    QFETCH(QStringList, subject);
    QFETCH(QStringList, address);
    QFETCH(QStringList, everywhere);
    QCOMPARE(run(SearchQuery(term, "", "")), subject);
    QCOMPARE(run(SearchQuery("", term, "")), address);
    QCOMPARE(run(SearchQuery("", "", term)), everywhere);
    std::vector<SqliteDatabase::Row> rows;
    QVERIFY(m_db->query("SELECT count(*) FROM files", {}, &rows));
    QCOMPARE(rows.at(0).at(0).toInt(), kSamples.size());
}

void TestQuerySql::roots_data() {
    QTest::addColumn<QStringList>("roots");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("a root is not a string prefix") << QStringList{"/arch"} << QStringList{kReise};
    QTest::newRow("paths are case-sensitive") << QStringList{"/ARCH"} << QStringList{};
    QTest::newRow("trailing slash") << QStringList{"/arch/2024/"} << QStringList{kReise};
    QTest::newRow("several roots")
        << QStringList{"/arch", "/arch-other"} << QStringList{kOtherRoot, kReise};
    QTest::newRow("the file system root")
        << QStringList{"/"} << QStringList{kOtherCase, kOtherRoot, kReise};
    QTest::newRow("like wildcards are text") << QStringList{"/ar_h", "/%"} << QStringList{};
    QTest::newRow("no roots") << QStringList{} << QStringList{};
}

void TestQuerySql::roots() {
    QFETCH(QStringList, roots);
    QFETCH(QStringList, expected);
    QCOMPARE(run(SearchQuery("reise", "", ""), roots), expected);
}

void TestQuerySql::newestFirstWithLimit() {
    // Undated last, although SQLite sorts NULL before every number.
    const QStringList all{kReise, kInvoice, kHostile, kNotes};
    QCOMPARE(run(SearchQuery()), all);
    QCOMPARE(run(SearchQuery(), {"/arch"}, 2), all.mid(0, 2));
    QCOMPARE(run(SearchQuery(), {"/arch"}, 0), QStringList{});
}

QTEST_GUILESS_MAIN(TestQuerySql)
#include "tst_querysql.moc"
