#include "search/searchquery.h"

#include <QTest>

using namespace tessaly;

class TestSearchQuery : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tokenizing_data();
    void tokenizing();
    void queryString_data();
    void queryString();
    void manualStrings();
    void manualMatch_data();
    void manualMatch();
};

void TestSearchQuery::tokenizing_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("terms");
    QTest::newRow("phrase then word") << "\"hello world\"foo" << QStringList{"hello world", "foo"};
    QTest::newRow("phrase, space, word")
        << "\"hello world\" foo" << QStringList{"hello world", "foo"};
    QTest::newRow("quote separates") << "ab\"cd ef\"" << QStringList{"ab", "cd ef"};
    QTest::newRow("unterminated phrase") << "\"open phrase" << QStringList{"open phrase"};
    QTest::newRow("spaces inside a phrase kept") << "\"a   b \"" << QStringList{"a   b"};
    QTest::newRow("prefix joins") << "from: alice bob" << QStringList{"from:alice", "bob"};
    QTest::newRow("joined pair not joined again") << "a: b: c" << QStringList{"a:b:", "c"};
    QTest::newRow("last prefix stays") << "to cc:" << QStringList{"to", "cc:"};
    QTest::newRow("prefix joins a phrase") << "to: \"Bob Smith\"" << QStringList{"to:Bob Smith"};
    QTest::newRow("runs of spaces") << "  a    b  " << QStringList{"a", "b"};
    QTest::newRow("spaces alone") << "     " << QStringList{};
    QTest::newRow("other white space trimmed") << "\tx\n y" << QStringList{"x", "y"};
    QTest::newRow("empty phrase is no term") << "\"\" a \"  \"" << QStringList{"a"};
    QTest::newRow("white space alone is no term") << "\t \n" << QStringList{};
}

void TestSearchQuery::tokenizing() {
    QFETCH(QString, text);
    QFETCH(QStringList, terms);
    QCOMPARE(SearchQuery::readSpaceAndQuoteDelimitedStringIntoArray(text), terms);
}

void TestSearchQuery::queryString_data() {
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("everywhere");
    QTest::addColumn<QString>("query");
    QTest::newRow("subject word and phrase") << "invoice \"Q3 report\""
                                             << ""
                                             << ""
                                             << "( kMDItemDisplayName == \"*invoice*\"cd ) && "
                                                "( kMDItemDisplayName == \"*Q3 report*\"cd )";
    QTest::newRow("one-character subject, address")
        << "x"
        << "bob"
        << ""
        << "( kMDItemDisplayName == \"x*\"cd ) && "
           "( (kMDItemKeywords == \"*bob*\"cd)  || (kMDItemAuthors == \"*bob*\"cd) )";
    QTest::newRow("one-character everything terms") << ""
                                                    << ""
                                                    << "a b"
                                                    << "( * == \"a\"cdw ) && ( * == \"b\"cdw )";
    QTest::newRow("one-character address")
        << ""
        << "b"
        << ""
        << "( (kMDItemKeywords == \"b*\"cd) || (kMDItemAuthors == \"b*\"cd) )";
    QTest::newRow("fields in order")
        << "Reise"
        << "to: bob"
        << "München"
        << "( kMDItemDisplayName == \"*Reise*\"cd ) && "
           "( (kMDItemKeywords == \"*to:bob*\"cd)  || (kMDItemAuthors == \"*to:bob*\"cd) ) && "
           "( * == \"München*\"cdw || kMDItemTextContent == \"München*\"cdw )";
    QTest::newRow("terms as typed, never escaped")
        << ""
        << ""
        << "%@ '*"
        << "( * == \"%@*\"cdw || kMDItemTextContent == \"%@*\"cdw ) && "
           "( * == \"'**\"cdw || kMDItemTextContent == \"'**\"cdw )";
    QTest::newRow("all empty") << ""
                               << ""
                               << ""
                               << "";
    QTest::newRow("spaces alone") << "   "
                                  << " "
                                  << ""
                                  << "";
}

void TestSearchQuery::queryString() {
    QFETCH(QString, subject);
    QFETCH(QString, address);
    QFETCH(QString, everywhere);
    QFETCH(QString, query);
    const SearchQuery search(subject, address, everywhere);
    QCOMPARE(search.currentQueryString(), query);
    QCOMPARE(search.isEmpty(), query.isEmpty());
}

void TestSearchQuery::manualStrings() {
    QCOMPARE(SearchQuery().manualQueryStrings(), QStringList{});
    // Whole texts, not terms; quotes kept.
    QCOMPARE(SearchQuery(" Invoice \n", "", "Bob \"X  Y\"").manualQueryStrings(),
             (QStringList{"invoice", "bob \"x  y\""}));
    // A field of white space gives no string: the empty string would match every file.
    QCOMPARE(SearchQuery("  ", "\t", "bob").manualQueryStrings(), QStringList{"bob"});
    QCOMPARE(SearchQuery::trimWhiteStuff(" \t\r\n a b \n"), QString("a b"));
}

void TestSearchQuery::manualMatch_data() {
    QTest::addColumn<QStringList>("strings");
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QStringList>("tags");
    QTest::addColumn<bool>("matches");
    const QStringList invoice = SearchQuery("Invoice", "", "").manualQueryStrings();
    QTest::newRow("name lower-cased") << invoice << "2019-03 INVOICE.pdf" << QStringList{} << true;
    QTest::newRow("tag not lower-cased")
        << invoice << "other.pdf" << QStringList{"Invoice"} << false;
    QTest::newRow("tag in lower case")
        << invoice << "other.pdf" << QStringList{"urgent", "invoice"} << true;
    QTest::newRow("part of a tag")
        << QStringList{"voice"} << "other.pdf" << QStringList{"Invoice"} << true;
    QTest::newRow("any string") << QStringList{"zzz", "other"} << "Other.pdf" << QStringList{}
                                << true;
    QTest::newRow("nothing") << invoice << "other.pdf" << QStringList{"red"} << false;
    QTest::newRow("no strings") << QStringList{} << "other.pdf" << QStringList{"red"} << false;
}

void TestSearchQuery::manualMatch() {
    QFETCH(QStringList, strings);
    QFETCH(QString, filename);
    QFETCH(QStringList, tags);
    QFETCH(bool, matches);
    QCOMPARE(SearchQuery::searchMatches(strings, filename, tags), matches);
}

QTEST_GUILESS_MAIN(TestSearchQuery)
#include "tst_searchquery.moc"
