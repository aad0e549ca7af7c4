// What a running job archives goes into the index with the message's own words: found by a
// word of its body that its PDF does not hold, followed by an open search, and a message's
// markup, hidden parts and attachments kept out of its text.

#include "indexfixtures.h"
#include "platform/mail/mcomessageparser.h"
#include "platform/prefs/preferencestore.h"
#include "search/archiveindex.h"
#include "search/indexfeed.h"
#include "search/messagetext.h"
#include "search/searchsession.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tessaly;

namespace {

std::shared_ptr<MCOMessageParser> parse(const QByteArray& text) {
    QByteArray data = text;
    data.replace("\n", "\r\n");
    return MCOMessageParser::messageParserWithData(data);
}

// A PDF whose page says nothing of the message: what is found must come from the message.
void writePdf(const QString& path, const QString& title) {
    test::writeAttributedPdf(path, "page", {{"Title", title}, {"Author", "ann@example.com"}});
}

const QByteArray kMessage = "From: Ann <ann@example.com>\n"
                            "To: Dan <dan@example.test>\n"
                            "Subject: Quarterly figures\n"
                            "Message-ID: <q1@example.com>\n"
                            "MIME-Version: 1.0\n"
                            "Content-Type: multipart/mixed; boundary=\"m\"\n"
                            "\n"
                            "--m\n"
                            "Content-Type: multipart/alternative; boundary=\"a\"\n"
                            "\n"
                            "--a\n"
                            "Content-Type: text/plain; charset=utf-8\n"
                            "Content-Transfer-Encoding: quoted-printable\n"
                            "\n"
                            "View it in your browser: plain-only-word\n"
                            "--a\n"
                            "Content-Type: text/html; charset=utf-8\n"
                            "Content-Transfer-Encoding: quoted-printable\n"
                            "\n"
                            "<p>The <b>zebra</b> budget for M=C3=BCnchen is ready.</p>\n"
                            "--a--\n"
                            "--m\n"
                            "Content-Type: text/plain; name=\"notes.txt\"\n"
                            "\n"
                            "attached-secret-word\n"
                            "--m--\n";

} // namespace

class TestIndexFeed : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString root() const { return m_dir->filePath("Archive/Mail"); }
    QString indexPath() const { return m_dir->filePath("index.sqlite"); }

    std::vector<SqliteDatabase::Row> rows(const QString& sql, const QVariantList& parameters) {
        return test::indexRows(indexPath(), sql, parameters);
    }

    // The paths whose words match an FTS expression, in path order.
    QStringList matching(const QString& expression) {
        QStringList paths;
        for (const auto& row :
             rows("SELECT f.path FROM files f JOIN words w ON w.rowid = f.id WHERE words MATCH ? "
                  "ORDER BY f.path",
                  {expression})) {
            paths.append(row.front().toString().mid(root().size() + 1));
        }
        return paths;
    }

    ArchivedFiles archived(const QString& relativePdf, const QStringList& others) {
        ArchivedFiles files;
        files.root = root();
        files.mainPath = root() + "/" + relativePdf;
        writePdf(files.mainPath, "Quarterly figures");
        files.files.append(files.mainPath);
        for (const QString& other : others) {
            test::writeFile(root() + "/" + other, "x");
            files.files.append(root() + "/" + other);
        }
        files.message = parse(kMessage);
        files.ledgerId = "identity-1";
        return files;
    }

private Q_SLOTS:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void messageTextIsWhatAReaderSees() {
        const QString text = MessageText::of(*parse(kMessage), 100000);
        // The header lines and the alternative the page shows, decoded; no attachment (a
        // named part is one even without a disposition).
        QVERIFY2(text.startsWith("Subject: Quarterly figures From: Ann <ann@example.com> To: Dan "
                                 "<dan@example.test> The zebra budget for München is ready."),
                 qPrintable(text));
        QVERIFY(!text.contains("plain-only-word"));
        QVERIFY(!text.contains("attached-secret-word"));
        QVERIFY(!text.contains("\n"));
        QCOMPARE(MessageText::of(*parse(kMessage), 20).size(), 20);

        // An HTML-only body: tags, comments, scripts and styles gone, references decoded,
        // block ends separate words, inline tags do not split them.
        QCOMPARE(MessageText::htmlToText(
                     u"<html><head><style>p{color:red}</style><title>T</title></head><body>"
                     "<!-- hidden --><p>Gr&uuml;&szlig;e&nbsp;aus <b>Mün</b>chen</p><div>A&amp;B"
                     "</div><script>var x = '<p>';</script>&#x263A;&#9731; &bogus; &#0; a<br>b "
                     "a < b, 1<2 &&&; <unclosed"),
                 QString::fromUtf8("\nT\n\nGrüße aus München\n\nA&B\n\u263A\u2603 &bogus; "
                                   "&#0; a\nb a < b, 1<2 &&&; "));
        const QString html = MessageText::of(
            *parse("Subject: s\nContent-Type: text/html\n\n<p>Ver&shy;trag</p>\n"), 1000);
        QCOMPARE(html, "Subject: s Vertrag");
    }

    void archivedFilesAreFoundByTheMessagesWords() {
        IndexFeed feed(indexPath());
        QSignalSpy indexed(&feed, &IndexFeed::indexed);
        feed.add(archived("2024/01/2024-01-18 Quarterly figures.pdf",
                          {"2024/01/2024-01-18 Quarterly figures (attachments)/notes.txt",
                           ".tessaly/ledger.sqlite"}));
        // Written in the background, without anyone waiting for it.
        QVERIFY(indexed.wait(10000));
        QCOMPARE(indexed.first().first().toInt(), 2);
        QCOMPARE(matching("zebra"), QStringList{"2024/01/2024-01-18 Quarterly figures.pdf"});
        QCOMPARE(matching("munchen"), QStringList{"2024/01/2024-01-18 Quarterly figures.pdf"});
        QVERIFY(matching("page").isEmpty()); // the PDF's own text was not read for it
        const auto found =
            rows("SELECT kind, ledger_id, title FROM files ORDER BY path", QVariantList());
        QCOMPARE(found.size(), std::size_t(2));
        QCOMPARE(found[0][0].toString(), "attachment");
        QCOMPARE(found[1][0].toString(), "pdf");
        QCOMPARE(found[1][1].toString(), "identity-1");
        QCOMPARE(found[1][2].toString(), "Quarterly figures");

        // An EML copy (no PDF made) is found by its subject and words too.
        ArchivedFiles eml;
        eml.root = root();
        eml.mainPath = root() + "/2024/02/copy.eml";
        test::writeFile(eml.mainPath, kMessage);
        eml.files = {eml.mainPath, root() + "/2024/02/gone-already.pdf"};
        eml.message = parse(kMessage);
        feed.add(eml);
        QVERIFY(feed.flush());
        QCOMPARE(matching("title:quarterly AND zebra"),
                 (QStringList{"2024/01/2024-01-18 Quarterly figures.pdf", "2024/02/copy.eml"}));
    }

    void anIndexThatCannotBeWrittenIsReportedNotFatal() {
        test::writeFile(m_dir->filePath("blocker"), "a file where the index folder should be");
        IndexFeed feed(m_dir->filePath("blocker/index.sqlite"));
        QSignalSpy indexed(&feed, &IndexFeed::indexed);
        feed.add(archived("a.pdf", {}));
        QVERIFY(!feed.flush());
        QVERIFY(!feed.lastError().isEmpty());
        // A batch that failed in the background is not forgotten by the flush that follows.
        feed.add(archived("b.pdf", {}));
        QTRY_VERIFY_WITH_TIMEOUT(!feed.lastError().isEmpty(), 10000);
        QVERIFY(!feed.flush());
        QVERIFY(feed.flush()); // nothing failed since
        QCOMPARE(indexed.count(), 0);
    }

    void anOpenSearchFollowsWhatIsArchived() {
        PreferenceStore store(m_dir->filePath("Tessaly.conf"));
        store.setDestinationFolder(m_dir->filePath("Archive"));
        store.setValue("FolderItems", QStringList{"/home/u/Mail"});
        IndexFeed feed(indexPath());
        SearchSession session(store, indexPath());
        connect(&feed, &IndexFeed::indexed, &session, &SearchSession::indexChanged);
        session.setQuery(SearchQuery({}, {}, "zebra"));
        QTRY_VERIFY(!session.nowSearching());
        QVERIFY(session.results().isEmpty());

        feed.add(archived("2024/03/zebra-less name.pdf", {}));
        QTRY_COMPARE_WITH_TIMEOUT(session.results().size(), 1, 10000);
        QCOMPARE(session.results().first().path, root() + "/2024/03/zebra-less name.pdf");
    }
};

QTEST_MAIN(TestIndexFeed)
#include "tst_indexfeed.moc"
