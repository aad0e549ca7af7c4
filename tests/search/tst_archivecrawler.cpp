#include "indexfixtures.h"
#include "search/archivecrawler.h"
#include "search/archiveindex.h"
#include "search/archiveindexer.h"
#include "tags/openmeta.h"
#include "testsupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

using namespace tessaly;

namespace {

void writePdf(const QString& path, const QString& title, const QString& author,
              const QString& keywords, const QDateTime& date, const QString& body) {
    test::writeAttributedPdf(
        path, body,
        {{"Title", title}, {"Author", author}, {"Keywords", keywords}, {"CreationDate", date}});
}

} // namespace

class TestArchiveCrawler : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void kindsAndDates();
    void newChangedAndRemovedFiles();
    void missingRootKeepsItsRows();
    void cancelRemovesNothing();
    void rebuildReadsEverythingAgain();

private:
    QString root() const { return m_dir->filePath(QStringLiteral("archive")); }
    QString indexPath() const { return m_dir->filePath(QStringLiteral("index.sqlite")); }
    ArchiveCrawler::Summary crawl(const QStringList& roots, bool rebuild = false);
    std::vector<SqliteDatabase::Row> rows(const QString& sql, const QVariantList& parameters = {});
    QStringList indexedPaths();

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestArchiveCrawler::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(root()));
}

ArchiveCrawler::Summary TestArchiveCrawler::crawl(const QStringList& roots, bool rebuild) {
    ArchiveCrawler crawler(indexPath());
    QSignalSpy finished(&crawler, &ArchiveCrawler::finished);
    QSignalSpy progress(&crawler, &ArchiveCrawler::progress);
    if (!crawler.start(roots, rebuild) || crawler.start(roots)) {
        qWarning("a crawl did not start, or a second one did");
        return {};
    }
    if (!finished.wait(60'000)) {
        qWarning("the crawl did not finish");
        return {};
    }
    const auto summary = finished.first().first().value<ArchiveCrawler::Summary>();
    // The last report agrees with the summary.
    if (progress.isEmpty() ||
        progress.last().first().value<ArchiveCrawler::Counts>().seen != summary.counts.seen) {
        qWarning("no final progress report");
        return {};
    }
    return summary;
}

std::vector<SqliteDatabase::Row> TestArchiveCrawler::rows(const QString& sql,
                                                          const QVariantList& parameters) {
    return test::indexRows(indexPath(), sql, parameters);
}

QStringList TestArchiveCrawler::indexedPaths() {
    QStringList paths;
    for (const auto& row : rows(QStringLiteral("SELECT path FROM files ORDER BY path"))) {
        paths.append(row.front().toString().mid(root().size() + 1));
    }
    return paths;
}

void TestArchiveCrawler::kindsAndDates() {
    QCOMPARE(ArchiveIndexer::kindOf("2024/01/a.pdf"), "pdf");
    QCOMPARE(ArchiveIndexer::kindOf("2024/01/a.EML"), "eml");
    QCOMPARE(ArchiveIndexer::kindOf("2024/01/a (attachments)/scan.pdf"), "attachment");
    QCOMPARE(ArchiveIndexer::kindOf("2024-01-18_081620_Attachments/b.eml"), "attachment");
    QCOMPARE(ArchiveIndexer::kindOf("2024/01/photo.jpg"), "attachment");
    QVERIFY(!ArchiveIndexer::isIndexed(".tessaly/ledger.sqlite"));
    QVERIFY(!ArchiveIndexer::isIndexed("2024/.hidden.pdf"));
    QVERIFY(ArchiveIndexer::isIndexed("2024/a.b.pdf"));

    const qint64 utc = QDateTime(QDate(2014, 1, 18), QTime(8, 16, 20), Qt::UTC).toSecsSinceEpoch();
    QCOMPARE(ArchiveIndexer::pdfDateSeconds("D:20140118081620Z"), utc);
    QCOMPARE(ArchiveIndexer::pdfDateSeconds("D:20140118091620+01'00'"), utc);
    QCOMPARE(ArchiveIndexer::pdfDateSeconds("D:20140118034620-04'30"), utc);
    QCOMPARE(ArchiveIndexer::pdfDateSeconds("20140118081620"), utc);
    QCOMPARE(ArchiveIndexer::pdfDateSeconds("D:2014"),
             QDateTime(QDate(2014, 1, 1), QTime(0, 0), Qt::UTC).toSecsSinceEpoch());
    QCOMPARE(ArchiveIndexer::pdfDateSeconds("D:20141318"), std::nullopt);
    QCOMPARE(ArchiveIndexer::pdfDateSeconds("yesterday"), std::nullopt);

    // Archived files carry their message's date, which may be any year at all.
    QTemporaryDir dir;
    const QString far = dir.filePath("far.pdf");
    test::writeFile(far, "%PDF");
    QFile file(far);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime(QDate(2446, 5, 1), QTime(0, 0), Qt::UTC),
                             QFileDevice::FileModificationTime));
    file.close();
    QCOMPARE(ArchiveIndexer::modificationNs(QFileInfo(far)),
             std::numeric_limits<qint64>::max() / 1'000'000 * 1'000'000);
}

void TestArchiveCrawler::newChangedAndRemovedFiles() {
    const QDateTime sent(QDate(2024, 1, 18), QTime(8, 16, 20), Qt::UTC);
    const QString message = root() + "/2024/01/2024-01-18 Grüße.pdf";
    writePdf(message, "Grüße aus München", "Jürgen Weiß <jw@example.org>",
             "jw@example.org, anna@example.com", sent, "Quarterly figures attached");
    test::writeFile(root() + "/2024/01/2024-01-18 Grüße.eml", "Subject: x\r\n\r\nbody\r\n");
    writePdf(root() + "/2024/01/2024-01-18 Grüße (attachments)/scan.pdf", "", "", "", sent, "scan");
    test::writeFile(root() + "/.tessaly/ledger.sqlite", "not indexed");
    test::writeFile(root() + "/2024/.hidden.pdf", "not indexed");
    const bool tagged = OpenMeta::MavericksOrLater() &&
                        !OpenMeta::setAppleTags(QStringList{"Work", "Zürich"}, message);

    ArchiveCrawler::Summary summary = crawl({root()});
    QVERIFY2(summary.ok(), qPrintable(summary.error));
    QCOMPARE(summary.counts.seen, 3);
    QCOMPARE(summary.counts.added, 3);
    QCOMPARE(summary.counts.removed, 0);
    QCOMPARE(indexedPaths(),
             QStringList({"2024/01/2024-01-18 Grüße (attachments)/scan.pdf",
                          "2024/01/2024-01-18 Grüße.eml", "2024/01/2024-01-18 Grüße.pdf"}));
    const auto pdf = rows("SELECT kind, title, authors, keywords, content_date, root, tags, "
                          "display_name, size FROM files WHERE path = ?",
                          {message});
    QCOMPARE(pdf.size(), 1u);
    QCOMPARE(pdf[0][0].toString(), "pdf");
    QCOMPARE(pdf[0][1].toString(), "Grüße aus München");
    QCOMPARE(pdf[0][2].toString(), "Jürgen Weiß <jw@example.org>");
    QCOMPARE(pdf[0][3].toString(), "jw@example.org, anna@example.com");
    QCOMPARE(pdf[0][4].toLongLong(), sent.toSecsSinceEpoch());
    QCOMPARE(pdf[0][5].toString(), root());
    if (tagged) {
        QCOMPARE(pdf[0][6].toString(), "Work,Zürich");
    }
    QCOMPARE(pdf[0][7].toString(), "2024-01-18 Grüße.pdf");
    QCOMPARE(pdf[0][8].toLongLong(), QFileInfo(message).size());
    // The body's words, found the way a search finds them.
    QCOMPARE(rows("SELECT f.path FROM words w JOIN files f ON f.id = w.rowid WHERE words MATCH ?",
                  {"text_content:quarterly"})
                 .size(),
             1u);
    QCOMPARE(rows("SELECT kind FROM files WHERE display_name = 'scan.pdf'")[0][0].toString(),
             "attachment");
    QVERIFY(rows("SELECT content_date FROM files WHERE kind = 'eml'")[0][0].isNull());

    // Nothing changed: nothing is read again.
    summary = crawl({root()});
    QCOMPARE(summary.counts.seen, 3);
    QCOMPARE(summary.counts.added + summary.counts.updated + summary.counts.removed, 0);

    test::writeFile(root() + "/2024/01/2024-01-18 Grüße.eml", "Subject: changed\r\n\r\nmore\r\n");
    QVERIFY(QFile::remove(root() + "/2024/01/2024-01-18 Grüße (attachments)/scan.pdf"));
    writePdf(root() + "/2024/02/new.pdf", "Neu", "b@example.org", "b@example.org", sent, "new");
    summary = crawl({root()});
    QVERIFY2(summary.ok(), qPrintable(summary.error));
    QCOMPARE(summary.counts.seen, 3);
    QCOMPARE(summary.counts.added, 1);
    QCOMPARE(summary.counts.updated, 1);
    QCOMPARE(summary.counts.removed, 1);
    QCOMPARE(indexedPaths(), QStringList({"2024/01/2024-01-18 Grüße.eml",
                                          "2024/01/2024-01-18 Grüße.pdf", "2024/02/new.pdf"}));
    QCOMPARE(rows("SELECT count(*) FROM words")[0][0].toLongLong(), 3);
    QCOMPARE(rows("SELECT count(*) FROM grams")[0][0].toLongLong(), 3);
}

void TestArchiveCrawler::missingRootKeepsItsRows() {
    const QString other = m_dir->filePath("other");
    test::writeFile(root() + "/a.eml", "a");
    test::writeFile(other + "/b.eml", "b");
    ArchiveCrawler::Summary summary = crawl({root(), other + "/", m_dir->filePath("nowhere")});
    QCOMPARE(summary.counts.added, 2);
    QCOMPARE(summary.unreachableRoots, QStringList{m_dir->filePath("nowhere")});

    // The drive of `other` is not mounted: its files are not gone.
    QVERIFY(QDir(other).removeRecursively());
    summary = crawl({root(), other});
    QVERIFY(summary.ok());
    QCOMPARE(summary.unreachableRoots, QStringList{other});
    QCOMPARE(summary.counts.removed, 0);
    QCOMPARE(rows("SELECT count(*) FROM files")[0][0].toLongLong(), 2);
}

void TestArchiveCrawler::cancelRemovesNothing() {
    for (int i = 0; i < 600; ++i) {
        test::writeFile(root() + QStringLiteral("/m/%1.eml").arg(i), "x");
    }
    QCOMPARE(crawl({root()}).counts.added, 600);
    QVERIFY(QDir(root() + "/m").removeRecursively());
    test::writeFile(root() + "/n.eml", "y");
    {
        ArchiveCrawler crawler(indexPath());
        QSignalSpy finished(&crawler, &ArchiveCrawler::finished);
        QVERIFY(crawler.start({root()}));
        crawler.cancel();
        QVERIFY(finished.wait());
        const auto summary = finished.first().first().value<ArchiveCrawler::Summary>();
        QVERIFY(summary.cancelled);
        QVERIFY(!summary.ok());
        QCOMPARE(summary.counts.removed, 0);
    }
    QCOMPARE(rows("SELECT count(*) FROM files")[0][0].toLongLong(), 600);
    {
        // Destroyed while it runs: it stops and waits, nothing is left running.
        ArchiveCrawler crawler(indexPath());
        QVERIFY(crawler.start({root()}));
    }
    const ArchiveCrawler::Summary summary = crawl({root()});
    QCOMPARE(summary.counts.removed, 600);
    QCOMPARE(indexedPaths(), QStringList{"n.eml"});
}

void TestArchiveCrawler::rebuildReadsEverythingAgain() {
    writePdf(root() + "/a.pdf", "Original", "a@example.org", "a@example.org",
             QDateTime::currentDateTimeUtc(), "text");
    QCOMPARE(crawl({root()}).counts.added, 1);
    rows("UPDATE files SET title = 'stale', path = path || '.gone'");
    const ArchiveCrawler::Summary summary = crawl({root()}, true);
    QCOMPARE(summary.counts.added, 1);
    QCOMPARE(summary.counts.removed, 0);
    QCOMPARE(indexedPaths(), QStringList{"a.pdf"});
    QCOMPARE(rows("SELECT title FROM files")[0][0].toString(), "Original");
}

QTEST_MAIN(TestArchiveCrawler)
#include "tst_archivecrawler.moc"
