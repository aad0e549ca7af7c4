// Grid entries: the titles shown for archive file names and date folders, and the attachment
// entries a message brings along.

#include "search/searchitem.h"
#include "testsupport.h"

#include <QDir>
#include <QLocale>
#include <QTemporaryDir>
#include <QtTest>

using namespace tessaly;

class TestSearchItem : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void stripsStampsAndMailboxExtensions_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("title");
        QTest::newRow("stamped pdf") << "2019-03-05 12.34.56Z  Invoice.pdf"
                                     << "Invoice";
        QTest::newRow("too short for a stamp") << "2019 budget.pdf"
                                               << "2019 budget.pdf";
        QTest::newRow("long but no stamp") << "2019-03-05 12:34:56 Invoice.pdf"
                                           << "2019-03-05 12:34:56 Invoice.pdf";
        QTest::newRow("year first keeps mbox") << "2019 archive of mail.mbox"
                                               << "2019 archive of mail.mbox";
        QTest::newRow("imap mailbox") << "Inbox.imapmbox"
                                      << "Inbox";
        QTest::newRow("mailbox") << " Old mail.mbox"
                                 << "Old mail";
    }
    void stripsStampsAndMailboxExtensions() {
        QFETCH(QString, name);
        QFETCH(QString, title);
        QCOMPARE(SearchItem::stripAnnoyingStuff(name), title);
    }

    void namesMonthFoldersInsideYearFolders() {
        const QLocale locale;
        QCOMPARE(SearchItem::getItemTitlePerhapsMonth("/a/2019/03"), locale.standaloneMonthName(3));
        QCOMPARE(SearchItem::getItemTitlePerhapsMonth("/a/2019/1/"), locale.standaloneMonthName(1));
        QCOMPARE(SearchItem::getItemTitlePerhapsMonth("/a/2019/00"), "n/a");
        QCOMPARE(SearchItem::getItemTitlePerhapsMonth("/a/2019/xy"), "n/a");
        QCOMPARE(SearchItem::getItemTitlePerhapsMonth("/a/2019/13"), "of");
        QCOMPARE(SearchItem::getItemTitlePerhapsMonth("/a/2019/-1"), "n/a");
        QCOMPARE(SearchItem::getItemTitlePerhapsMonth("/a/Misc/03"), "03");

        // A short name shows the month rule's answer; a folder of the month shows its name.
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath("2019/03")));
        const SearchItem month = SearchItem::fromPath(dir.filePath("2019/03"));
        QCOMPARE(month.fullTitle(), locale.standaloneMonthName(3));
        QCOMPARE(month.kind(), "folder");
        QVERIFY(month.fullSubtitle().isEmpty());
    }

    void readsIndexRows() {
        SqliteDatabase::Row row{7,
                                "/a/2019/03/2019-03-05 12.34.56Z  Invoice.pdf",
                                "pdf",
                                "  Your invoice  ",
                                "Ann <ann@example.com>",
                                qint64(1551789296)};
        const SearchItem message = SearchItem::fromIndexRow(row);
        QCOMPARE(message.path(), "/a/2019/03/2019-03-05 12.34.56Z  Invoice.pdf");
        QCOMPARE(message.fullTitle(), "Your invoice");
        QCOMPARE(message.fullSubtitle(), "Ann <ann@example.com>");
        QCOMPARE(message.creationDate(), QDateTime::fromSecsSinceEpoch(1551789296, Qt::UTC));
        QVERIFY(!message.isAttachment());
        QCOMPARE(message.attachmentsFolderPath(),
                 "/a/2019/03/2019-03-05 12.34.56Z  Invoice (attachments)");

        // No subject: the file name, cleaned; no date: unknown; an attachment has no subtitle.
        row = {8,
               "/a/x (attachments)/2019-03-05 12.34.56Z  scan.pdf",
               "attachment",
               QVariant(),
               "Bob",
               QVariant()};
        const SearchItem attachment = SearchItem::fromIndexRow(row);
        QCOMPARE(attachment.fullTitle(), "scan");
        QVERIFY(!attachment.creationDate().isValid());
        QVERIFY(attachment.isAttachment());
        QVERIFY(attachment.fullSubtitle().isEmpty());

        // A subject too short to say anything gives way to the file's name.
        row = {9, "/a/2019/03/2019-03-06 08.00.00Z  Hi there.pdf", "pdf", "Hi", "", 1};
        QCOMPARE(SearchItem::fromIndexRow(row).fullTitle(), "Hi there");
    }

    void addsAtMostTwentyOneVisibleAttachments() {
        QTemporaryDir dir;
        const QString message = dir.filePath("2019-03-05 12.34.56Z  Many.pdf");
        test::writeFile(message, "%PDF");
        const QString folder = dir.filePath("2019-03-05 12.34.56Z  Many (attachments)");
        for (int i = 0; i < 30; ++i) {
            test::writeFile(folder + QString("/file%1.txt").arg(i, 2, 10, QChar('0')), "x");
        }
        QList<SearchItem> items;
        QCOMPARE(SearchItem::fromPath(message).addAttachments(&items), 21);
        QCOMPARE(items.size(), 21);
        for (const SearchItem& item : std::as_const(items)) {
            QVERIFY(item.isAttachment());
            QVERIFY(item.path().startsWith(folder + "/file"));
            QVERIFY(item.fullSubtitle().isEmpty());
        }

        const QString few = dir.filePath("Few.pdf");
        test::writeFile(few, "%PDF");
        test::writeFile(dir.filePath("Few (attachments)/.hidden.txt"), "x");
        test::writeFile(dir.filePath("Few (attachments)/.secret/inside.txt"), "x");
        test::writeFile(dir.filePath("Few (attachments)/sub/deep/inner.txt"), "x");
        test::writeFile(dir.filePath("Few (attachments)/outer.txt"), "x");
        QVERIFY(QDir().mkpath(dir.filePath("Few (attachments)/empty")));
        items.clear();
        QCOMPARE(SearchItem::fromPath(few).addAttachments(&items), 2);
        QCOMPARE(items.at(0).path(), dir.filePath("Few (attachments)/outer.txt"));
        QCOMPARE(items.at(1).path(), dir.filePath("Few (attachments)/sub/deep/inner.txt"));
    }

    void remembersWhetherAttachmentsExistedForTheProcess() {
        QTemporaryDir dir;
        const QString message = dir.filePath("Late.pdf");
        test::writeFile(message, "%PDF");
        QList<SearchItem> items;
        QVERIFY(!SearchItem::fromPath(message).hasAttachments());
        test::writeFile(dir.filePath("Late (attachments)/a.txt"), "x");
        // The first answer stands, so the grid never stats a folder twice while it scrolls.
        QVERIFY(!SearchItem::fromPath(message).hasAttachments());
        QCOMPARE(SearchItem::fromPath(message).addAttachments(&items), 0);
        QVERIFY(!SearchItem().hasAttachments());
        QVERIFY(SearchItem().attachmentsFolderPath().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSearchItem)
#include "tst_searchitem.moc"
