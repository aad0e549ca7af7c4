// Keeping the index current while the application runs: crawls one at a time, what is asked
// during a crawl crawled after it, and a signal whenever files came or went.

#include "search/archiveindex.h"
#include "search/indexkeeper.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tessaly;

class TestIndexKeeper : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void requestsDuringACrawlAreCrawledAfterIt() {
        QTemporaryDir dir;
        const QString first = dir.filePath("Archive/one");
        const QString second = dir.filePath("Archive/two");
        for (int i = 0; i < 300; ++i) {
            test::writeFile(QString("%1/%2/note %3.txt").arg(first).arg(i % 7).arg(i), "x");
        }
        test::writeFile(second + "/note.txt", "x");
        IndexKeeper keeper(dir.filePath("index.sqlite"));
        QSignalSpy changed(&keeper, &IndexKeeper::indexChanged);
        QSignalSpy finished(&keeper, &IndexKeeper::crawlFinished);
        keeper.refresh({first});
        QVERIFY(keeper.isCrawling());
        keeper.refresh({second});
        keeper.refresh({second});
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 30000);
        // A third crawl would start as the second ends.
        QVERIFY(!keeper.isCrawling());
        QVERIFY(changed.count() >= 2);

        QString error;
        auto index = ArchiveIndex::open(dir.filePath("index.sqlite"), &error);
        QVERIFY2(index, qPrintable(error));
        std::vector<SqliteDatabase::Row> rows;
        QVERIFY(index->query("SELECT count(*) FROM files", {}, &rows));
        QCOMPARE(rows.front().front().toInt(), 301);

        // Nothing changed: a crawl that finds nothing new says nothing.
        const int before = changed.count();
        keeper.refresh({first, second});
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 3, 30000);
        QCOMPARE(changed.count(), before);
    }
};

QTEST_GUILESS_MAIN(TestIndexKeeper)
#include "tst_indexkeeper.moc"
