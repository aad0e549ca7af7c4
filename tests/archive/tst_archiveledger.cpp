#include "archive/ledger/archiveledger.h"
#include "platform/index/sqlitedatabase.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

class TestArchiveLedger : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }
    void namesAcrossRuns();
    void recordsAndReadsBack();
    void numberedFilesOfNoRecordAreTaken();
    void releasedNameGetsItsHistoryBack();
    void ledgersOfOtherVersions();

private:
    std::unique_ptr<ArchiveLedger> open() {
        QString error;
        auto ledger = ArchiveLedger::open(
            m_dir->path(), [](const QString& path) { return QFileInfo(path).size() > 4; }, &error);
        if (!ledger) {
            qWarning("%s", qPrintable(error));
        }
        return ledger;
    }
    QString path(const QString& name) const { return m_dir->filePath(name); }
    // The ledger file's version, or sets it, as another version of Tessaly would have left it.
    int version(std::optional<int> set = std::nullopt) const {
        QString error;
        auto db = SqliteDatabase::open(ArchiveLedger::ledgerPath(m_dir->path()),
                                       SqliteDatabase::Mode::Create, &error);
        std::vector<SqliteDatabase::Row> rows;
        if (!db || (set && !db->exec(QStringLiteral("PRAGMA user_version = %1").arg(*set))) ||
            !db->query("PRAGMA user_version", {}, &rows)) {
            qWarning("%s", qPrintable(db ? db->lastError() : error));
            return -1;
        }
        return rows.front().front().toInt();
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestArchiveLedger::namesAcrossRuns() {
    auto first = open();
    auto second = open();
    QVERIFY(first && second);
    const QString base = path("2014/same.pdf");
    QVERIFY(QDir().mkpath(path("2014")));
    QString error;

    auto a = first->claim("A", base, "/in/a.eml", {}, &error);
    QVERIFY2(a, qPrintable(error));
    QCOMPARE(a->kind, ArchiveLedger::Claim::Kind::Reserved);
    QCOMPARE(a->path, base);
    // Another message wants the name: it gets the next number, in this run or the other.
    auto b = second->claim("B", base, "/in/b.eml", {}, &error);
    QCOMPARE(b->path, path("2014/same 2.pdf"));
    QCOMPARE(b->number, 2);
    // The same message, while a live run holds its name, is left to that run.
    auto twin = second->claim("A", base, "/in/a copy.eml", {}, &error);
    QCOMPARE(twin->kind, ArchiveLedger::Claim::Kind::SameMessage);
    QCOMPARE(twin->path, base);

    // A file no message is recorded for: a sound one is taken as the message (an archive made
    // before the ledger), a damaged one is a name to write over.
    test::writeFile(path("2014/old.pdf"), "a sound old pdf");
    QCOMPARE(first->claim("C", path("2014/old.pdf"), "/in/c.eml", {}, &error)->kind,
             ArchiveLedger::Claim::Kind::SameMessage);
    test::writeFile(path("2014/broken.pdf"), "x");
    auto broken = first->claim("D", path("2014/broken.pdf"), "/in/d.eml", {}, &error);
    QCOMPARE(broken->kind, ArchiveLedger::Claim::Kind::Reserved);
    QVERIFY(broken->replace);

    // The first run dies with its name reserved and its message unwritten: the next run takes
    // the name over for that message, and other messages still skip it.
    first.reset();
    auto third = open();
    auto again = third->claim("A", base, "/in/a.eml", {}, &error);
    QCOMPARE(again->kind, ArchiveLedger::Claim::Kind::Reserved);
    QCOMPARE(again->path, base);
    QCOMPARE(again->row, a->row);
    QCOMPARE(third->claim("E", base, "/in/e.eml", {}, &error)->number, 3);

    // Once written and recorded, the message is archived at its name for every later run.
    test::writeFile(base, "the pdf of A");
    QVERIFY(third->record(again->row, ArchiveLedger::Outcome::Made, {}, base,
                          {*FileRecord::of(base)}, &error));
    third.reset();
    auto fourth = open();
    QVERIFY(fourth->archivedAlready("A", base));
    QVERIFY(!fourth->archivedAlready("F", base));
    QCOMPARE(fourth->claim("A", base, "/in/a.eml", {}, &error)->kind,
             ArchiveLedger::Claim::Kind::SameMessage);
}

void TestArchiveLedger::ledgersOfOtherVersions() {
    const QString base = path("m.pdf");
    QString error;
    {
        auto ledger = open();
        QVERIFY(ledger);
        auto claim = ledger->claim("A", base, "/in/a.eml", {}, &error);
        test::writeFile(base, "the pdf of A");
        QVERIFY(ledger->record(claim->row, ArchiveLedger::Outcome::Made, {}, base,
                               {*FileRecord::of(base)}, &error));
    }
    QVERIFY(version() > 0);

    // An archive made before ledgers had versions opens, keeps its rows and is brought up to
    // date: its message is archived already, and the next run makes nothing of it.
    QCOMPARE(version(0), 0);
    {
        auto ledger = open();
        QVERIFY(ledger);
        QVERIFY(ledger->archivedAlready("A", base));
        QCOMPARE(ledger->claim("A", base, "/in/a.eml", {}, &error)->kind,
                 ArchiveLedger::Claim::Kind::SameMessage);
    }
    const int current = version();
    QVERIFY(current > 0);

    // One a later Tessaly wrote is not written over by this one: the job is told why.
    QCOMPARE(version(current + 1), current + 1);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("newer version of Tessaly"));
    QVERIFY(!open());
    QCOMPARE(version(), current + 1);
    auto readOnly = ArchiveLedger::openExisting(ArchiveLedger::ledgerPath(m_dir->path()), &error);
    QVERIFY2(readOnly, qPrintable(error));
}

void TestArchiveLedger::recordsAndReadsBack() {
    auto ledger = open();
    QString error;
    const QString base = path("m.pdf");
    auto claim = ledger->claim("A", base, "/in/a.eml", {}, &error);
    test::writeFile(base, "the pdf");
    test::writeFile(path("m.eml"), "the eml");
    QVERIFY(ledger->record(claim->row, ArchiveLedger::Outcome::Made, {}, base,
                           {*FileRecord::of(base), *FileRecord::of(path("m.eml"))}, &error));
    QVERIFY(ledger->recordUnnamed("U", "/in/bad.eml", ArchiveLedger::Outcome::Unreadable,
                                  "too short", &error));
    // A file that stays unreadable is one row however often it is tried.
    QVERIFY(ledger->recordUnnamed("U", "/in/bad.eml", ArchiveLedger::Outcome::Unreadable,
                                  "too short", &error));
    ledger.reset();
    {
        auto db = SqliteDatabase::open(ArchiveLedger::ledgerPath(m_dir->path()),
                                       SqliteDatabase::Mode::ReadOnly, &error);
        std::vector<SqliteDatabase::Row> rows;
        QVERIFY(
            db->query("SELECT count(*) FROM messages WHERE source = ?1", {"/in/bad.eml"}, &rows));
        QCOMPARE(rows.at(0).at(0).toLongLong(), 1);
    }

    // The archive travels: moved elsewhere, its ledger still names its files.
    const QString moved =
        QDir::cleanPath(m_dir->filePath("../moved-" + QFileInfo(m_dir->path()).fileName()));
    QVERIFY(QDir().rename(m_dir->path(), moved));
    auto reader = ArchiveLedger::openExisting(ArchiveLedger::ledgerPath(moved), &error);
    QVERIFY2(reader, qPrintable(error));
    std::vector<ArchiveLedger::Entry> files;
    int messages = 0;
    QVERIFY2(reader->recordedFiles(&files, &messages, &error), qPrintable(error));
    QCOMPARE(messages, 1);
    QCOMPARE(files.size(), size_t(2));
    QCOMPARE(files[0].file.path, moved + "/m.eml");
    QCOMPARE(files[0].file.size, qint64(7));
    QCOMPARE(files[1].messagePath, moved + "/m.pdf");
    reader.reset();
    QVERIFY(QDir(moved).removeRecursively());
}

void TestArchiveLedger::numberedFilesOfNoRecordAreTaken() {
    // Archives made before the ledger had no numbered names: "Report 2.pdf" there is another
    // message's (its subject was "Report 2"), never a twin of "Report".
    auto ledger = open();
    QString error;
    test::writeFile(path("Report.pdf"), "the first report");
    test::writeFile(path("Report 2.pdf"), "a report called Report 2");
    QCOMPARE(ledger->claim("A", path("Report.pdf"), "/in/a.eml", {}, &error)->kind,
             ArchiveLedger::Claim::Kind::SameMessage);
    // A header without a Message-ID decides only where no message is recorded.
    QVERIFY(ledger->archivedAlready(std::nullopt, path("Report.pdf")));
    QVERIFY(!ledger->archivedAlready(std::nullopt, path("Missing.pdf")));
    auto b = ledger->claim("B", path("Report.pdf"), "/in/b.eml", {}, &error);
    QCOMPARE(b->kind, ArchiveLedger::Claim::Kind::SameMessage); // row-less Report.pdf is B too
    // With the plain name recorded for A, B moves past the row-less "Report 2.pdf".
    auto c = ledger->claim("C", path("Other.pdf"), "/in/c.eml", {}, &error);
    QVERIFY(
        ledger->record(c->row, ArchiveLedger::Outcome::Made, {}, path("Report.pdf"), {}, &error));
    QVERIFY(!ledger->archivedAlready(std::nullopt, path("Report.pdf")));
    auto d = ledger->claim("D", path("Report.pdf"), "/in/d.eml", {}, &error);
    QCOMPARE(d->kind, ArchiveLedger::Claim::Kind::Reserved);
    QCOMPARE(d->path, path("Report 3.pdf"));
    // A name whose EML copy holds another message is passed over too.
    auto e = ledger->claim(
        "E", path("Report.pdf"), "/in/e.eml", [](int number) { return number != 4; }, &error);
    QCOMPARE(e->path, path("Report 5.pdf"));
}

void TestArchiveLedger::releasedNameGetsItsHistoryBack() {
    QString error;
    const QString base = path("m.pdf");
    qint64 row = 0;
    {
        auto ledger = open();
        auto claim = ledger->claim("A", base, "/in/a.eml", {}, &error);
        row = claim->row;
        QVERIFY(
            ledger->record(row, ArchiveLedger::Outcome::FailedTwice, "no luck", base, {}, &error));
    }
    auto rerun = open();
    auto again = rerun->claim("A", base, "/in/a.eml", {}, &error);
    QCOMPARE(again->row, row); // taken over for another try
    auto fresh = rerun->claim("B", base, "/in/b.eml", {}, &error);
    // Cancelled before either was rendered: the old record is as it was, the new name is free.
    rerun->releaseReservations();
    rerun.reset();
    auto reader = ArchiveLedger::openExisting(ArchiveLedger::ledgerPath(m_dir->path()), &error);
    std::vector<ArchiveLedger::Entry> files;
    int messages = 0;
    QVERIFY2(reader->recordedFiles(&files, &messages, &error), qPrintable(error));
    QCOMPARE(messages, 1); // the failed-twice record
    auto later = open();
    QCOMPARE(later->claim("C", base, "/in/c.eml", {}, &error)->path, fresh->path);
}

QTEST_GUILESS_MAIN(TestArchiveLedger)
#include "tst_archiveledger.moc"
