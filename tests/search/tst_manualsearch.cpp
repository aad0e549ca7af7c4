// The walk that serves when the index cannot: names and tags of every entry that is not
// hidden, at most a little over a thousand.

#include "search/manualsearch.h"
#include "tags/openmeta.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace tessaly;

class TestManualSearch : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void walksNamesAndTagsButNotHiddenEntries() {
        QTemporaryDir dir;
        const QString root = dir.filePath("Archive");
        test::writeFile(root + "/2019/03/2019-03-01 INVOICE.pdf", "%PDF");
        test::writeFile(root + "/2019/03/2019-03-02 letter.pdf", "%PDF");
        test::writeFile(root + "/.tessaly/invoice-ledger.sqlite", "x");
        test::writeFile(root + "/2019/.hidden invoice.pdf", "%PDF");
        const QString tagged = root + "/2019/03/2019-03-03 note.pdf";
        test::writeFile(tagged, "%PDF");
        if (OpenMeta::setAppleTags(QStringList{"invoice"}, tagged)) {
            QSKIP("this file system takes no extended attributes");
        }
        auto matches = [](const QString& name, const QStringList& tags) {
            return name.toLower().contains("invoice") || tags.contains("invoice");
        };
        QStringList found = ManualSearch::searchOnThread({root}, matches);
        found.sort();
        QCOMPARE(found, QStringList({root + "/2019/03/2019-03-01 INVOICE.pdf", tagged}));
    }

    void stopsJustOverTheLimitAndWhenCancelled() {
        QTemporaryDir dir;
        for (int i = 0; i < ManualSearch::kMaxItems + 50; ++i) {
            test::writeFile(dir.filePath(QString("m%1.pdf").arg(i)), "%PDF");
        }
        auto all = [](const QString&, const QStringList&) {
            return true;
        };
        QCOMPARE(ManualSearch::searchOnThread({dir.path()}, all).size(),
                 ManualSearch::kMaxItems + 1);
        const std::atomic<bool> cancelled{true};
        QVERIFY(ManualSearch::searchOnThread({dir.path()}, all, &cancelled).isEmpty());
        // A scope that is not there finds nothing and fails nothing.
        QVERIFY(ManualSearch::searchOnThread({dir.filePath("gone")}, all).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestManualSearch)
#include "tst_manualsearch.moc"
