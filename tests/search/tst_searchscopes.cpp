// The archive roots of the stored sources, the scopes a search runs over, the path the
// selection lives in, and the browse order.

#include "platform/prefs/preferencestore.h"
#include "search/searchscopes.h"
#include "search/textfold.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using namespace tessaly;

class TestSearchScopes : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rootsFollowTheSources() {
        QTemporaryDir dir;
        PreferenceStore store(dir.filePath("Tessaly.conf"));
        QVERIFY(SearchScopes::topPaths(store).isEmpty());
        store.setValue("EmailAccounts", QStringList{"dan@example.test", "", "eve@example.test"});
        store.setValue("FolderItems", QStringList{"/home/u/Mail Export/"});
        // No destination anywhere: nothing to search yet.
        QVERIFY(SearchScopes::topPaths(store).isEmpty());
        store.setDestinationFolder("/srv/Archive");
        store.setValue("eve@example.test__DEST_bookmark", "/media/usb");
        const QList<SearchScopes::ArchiveRoot> expected{
            {"dan@example.test", "/srv/Archive/dan@example.test"},
            {"eve@example.test", "/media/usb/eve@example.test"},
            {"Mail Export", "/srv/Archive/Mail Export"}};
        QCOMPARE(SearchScopes::topPaths(store), expected);
    }

    void scopesCoalesce_data() {
        QTest::addColumn<QStringList>("roots");
        QTest::addColumn<QStringList>("scopes");
        QTest::newRow("inner after outer")
            << QStringList{"/A/Mail", "/A/Mail/Work"} << QStringList{"/A/Mail"};
        QTest::newRow("outer after inner")
            << QStringList{"/A/Mail/Work", "/A/Mail"} << QStringList{"/A/Mail"};
        // A shared beginning of a name is no nesting: both archives must be searched.
        QTest::newRow("sibling with a longer name")
            << QStringList{"/A/x", "/A/xy"} << QStringList{"/A/x", "/A/xy"};
        QTest::newRow("duplicates") << QStringList{"/B", "/A", "/B"} << QStringList{"/B", "/A"};
        QTest::newRow("a later root covers two")
            << QStringList{"/A/1", "/A/2", "/A"} << QStringList{"/A"};
    }
    void scopesCoalesce() {
        QFETCH(QStringList, roots);
        QFETCH(QStringList, scopes);
        QCOMPARE(SearchScopes::coalescePaths(roots), scopes);
    }

    void commonPathOfASelection() {
        QCOMPARE(SearchScopes::longestCommonPath({"/A/B/C/f1.pdf", "/A/B/D/f2.pdf"}),
                 QString("/A/B"));
        QCOMPARE(SearchScopes::longestCommonPath({"/A/B/C/f1.pdf", "/A/X/C/f2.pdf"}),
                 QString("/A"));
        QCOMPARE(SearchScopes::longestCommonPath({"/A/B/f.pdf"}), QString("/A/B/f.pdf"));
        QCOMPARE(SearchScopes::longestCommonPath({"/A/f.pdf", "/B/g.pdf"}), QString("/"));
    }

    void browseOrder() {
        QStringList names{"2021", "Misc", "2019", "2020"};
        std::sort(names.begin(), names.end(), SearchScopes::browseOrderLess);
        QCOMPARE(names, QStringList({"2019", "2020", "2021", "Misc"}));
        QStringList months{"/x/11", "/x/03"};
        std::sort(months.begin(), months.end(), SearchScopes::browseOrderLess);
        QCOMPARE(months, QStringList({"/x/03", "/x/11"}));
        QStringList files{"2014-01-18 08.16.20Z  a.pdf", "2015-03-01 10.00.00Z  b.pdf"};
        std::sort(files.begin(), files.end(), SearchScopes::browseOrderLess);
        QCOMPARE(files.first(), QString("2015-03-01 10.00.00Z  b.pdf"));
    }

    void foldingIgnoresCaseAndDiacritics() {
        QCOMPARE(foldForSearch("München"), foldForSearch("MUNCHEN"));
        // Only marks go: "ß" stays, as the full-text tokenizer keeps it too.
        QCOMPARE(foldForSearch("Ünïcödé Straße"), QString("unicode straße"));
        QCOMPARE(foldForSearch("ﬁle"), QString("file"));
    }
};

QTEST_GUILESS_MAIN(TestSearchScopes)
#include "tst_searchscopes.moc"
