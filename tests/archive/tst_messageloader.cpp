#include "archive/sources/messageloader.h"
#include "render/destinationpaths.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

JobOptions options(const QString& dest) {
    JobOptions o;
    o.destFolder = dest;
    o.pdfFormat = "%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__ - __from__.pdf";
    o.attachmentFormat = "none";
    o.emlFormat = "none";
    return o;
}

void placePdf(const QString& path) {
    test::writeFile(path, QByteArray(8000, 'p'));
}

} // namespace

class TestMessageLoader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void archivedMessagesAreKnownByTheirHeader();
    void headerShortcutAgreesWithTheWholeMessageOnTheCorpus();
    void deliversInWorkListOrder();
};

void TestMessageLoader::archivedMessagesAreKnownByTheirHeader() {
    QTemporaryDir dir;
    const QString in = dir.filePath("in");
    const JobOptions o = options(dir.filePath("dest"));
    const JobFolders folders(in, dir.filePath("split"), "job");
    // A date the header repair has to find: the "Date" line lacks its colon and continues on
    // the next line, and the message has enough lines for the repair to run.
    const QByteArray broken = "From: Ann <ann@example.com>\nSubject: broken date\n"
                              "Date\n : Sat, 18 Jan 2014 08:16:20 +0000\nTo: b@example.com\n"
                              "\n" +
                              QByteArray("line\n").repeated(20);
    const QByteArray fine = test::crlfMessage("From: b@example.com\nSubject: fine\n"
                                              "Date: Sun, 19 Jan 2014 10:00:00 +0000\n\nhi\n");
    test::writeFile(in + "/broken.eml", broken);
    test::writeFile(in + "/fine.eml", fine);

    for (const char* name : {"broken.eml", "fine.eml"}) {
        const LoadedMessage first = MessageLoader::load({in + "/" + name, {}}, o, folders);
        QVERIFY2(first.message, name);
        QVERIFY(!first.alreadyArchived);
        const QString pdf =
            DestinationPaths::destinationPath(*first.message, folders.getMainFolder(),
                                              first.mailFolder, FormatKey::Pdf, QString(), o);
        placePdf(pdf);
        const LoadedMessage again = MessageLoader::load({in + "/" + name, {}}, o, folders);
        QVERIFY2(again.alreadyArchived, qPrintable(pdf));
        QVERIFY(!again.message); // never read past its header
    }
    // A PDF too small to be sound does not count.
    test::writeFile(dir.filePath("dest/small.pdf"), "x");
    const LoadedMessage unreadable = MessageLoader::load({in + "/gone.eml", {}}, o, folders);
    QVERIFY(!unreadable.message);
    QCOMPARE(unreadable.unreadableReason, QString("no longer exists"));
}

void TestMessageLoader::headerShortcutAgreesWithTheWholeMessageOnTheCorpus() {
    // Wherever the header alone gives a PDF path, it must be the path the whole message gives:
    // a re-run skips what it finds there without reading further.
    const QString corpus = test::sharedCorpusDir();
    if (corpus.isEmpty()) {
        QSKIP("the shared corpus is not beside the repository");
    }
    const QString in = corpus + "/eml";
    QTemporaryDir dir;
    const JobOptions o = options(dir.filePath("dest"));
    const JobFolders folders(in, dir.filePath("split"), "job");
    int checked = 0;
    int byHeader = 0;
    for (const QFileInfo& file : QDir(in).entryInfoList({"*.eml"}, QDir::Files)) {
        QString attachments;
        const auto whole = MessageLoader::makeMCOMessage(file.filePath(), &attachments);
        if (!whole) {
            continue;
        }
        const QString mailFolder = folders.emlSubFolder(file.filePath());
        const std::optional<QString> fromHeader =
            MessageLoader::pdfPathFromHeader(file.filePath(), o, folders, mailFolder);
        ++checked;
        if (!fromHeader) {
            continue;
        }
        ++byHeader;
        QCOMPARE(*fromHeader,
                 DestinationPaths::destinationPath(*whole, folders.getMainFolder(), mailFolder,
                                                   FormatKey::Pdf, QString(), o));
    }
    qInfo("%d corpus messages, %d known from their header", checked, byHeader);
    QVERIFY(byHeader > checked * 8 / 10);
}

void TestMessageLoader::deliversInWorkListOrder() {
    QTemporaryDir dir;
    QList<WorkItem> work;
    for (int i = 0; i < 300; ++i) {
        // Unreadable entries cost nothing to load, so chunks finish in any order.
        work.append(
            {QStringLiteral("/nowhere/%1.eml").arg(i), i % 3 ? QString("gone") : QString()});
    }
    MessageLoader loader(options(dir.path()), JobFolders("/nowhere", dir.filePath("split"), "job"));
    loader.setReadyLimit(1000);
    loader.setWork(work);
    QStringList order;
    while (!loader.finished()) {
        if (auto next = loader.take()) {
            order.append(QFileInfo(next->path).baseName());
        } else {
            QSignalSpy ready(&loader, &MessageLoader::ready);
            QVERIFY(ready.wait(5000));
        }
    }
    QCOMPARE(order.size(), 300);
    for (int i = 0; i < 300; ++i) {
        QCOMPARE(order[i], QString::number(299 - i)); // taken from the end
    }
}

QTEST_GUILESS_MAIN(TestMessageLoader)
#include "tst_messageloader.moc"
