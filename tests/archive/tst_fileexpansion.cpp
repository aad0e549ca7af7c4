#include "archive/sources/fileexpansion.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace tessaly;

namespace {

QByteArray mboxMessage(int n) {
    return "From sender@example.com Sat Jan 18 08:16:20 2014\n"
           "From: sender@example.com\nSubject: message " +
           QByteArray::number(n) + "\n\nThis is the body of message " + QByteArray::number(n) +
           ", long enough to be a real message.\n>From quoted separators stay.\n";
}

QStringList names(const QStringList& paths) {
    QStringList out;
    for (const QString& path : paths) {
        out.append(QFileInfo(path).fileName());
    }
    out.sort();
    return out;
}

} // namespace

class TestFileExpansion : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_split = m_dir->filePath("split");
    }
    void foldersAndExtensions();
    void mailboxFolderAndFileNamedMbox();
    void crlfMailboxSplits();
    void lineEndings_data();
    void lineEndings();
    void separatorWithoutLineEnd();
    void symlinkLoopsEnd();
    void headerRepair();
    void mailboxOver2GiB();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_split;
};

void TestFileExpansion::foldersAndExtensions() {
    const QString folder = m_dir->filePath("in");
    for (const char* name :
         {"a.eml", "b.EML", "c.emlx", "d.emlxpart", "notes.txt", "1.partial.emlx"}) {
        test::writeFile(folder + u'/' + QLatin1String(name), "x");
    }
    QVERIFY(QDir().mkpath(folder + "/sub.eml")); // the extension wins over being a folder
    std::atomic<int> found{-1};
    const FileExpansion::Result result =
        FileExpansion::explodeFilesAndFolders({folder}, m_split, &found);
    QCOMPARE(names(result.emls), (QStringList{"a.eml", "b.EML", "sub.eml"}));
    QCOMPARE(names(result.emlxs), (QStringList{"1.partial.emlx", "c.emlx"}));
    QCOMPARE(found.load(), 3);
}

void TestFileExpansion::mailboxFolderAndFileNamedMbox() {
    const QString folder = m_dir->filePath("Inbox.mbox");
    test::writeFile(folder + "/mbox", mboxMessage(1) + mboxMessage(2));
    const FileExpansion::Result result = FileExpansion::explodeFilesAndFolders({folder}, m_split);
    QCOMPARE(result.emls.size(), 2);
    for (const QString& path : result.emls) {
        QVERIFY(path.startsWith(FileExpansion::mirrorFolder(folder + "/mbox", m_split) + "/m_"));
    }
}

void TestFileExpansion::crlfMailboxSplits() {
    QByteArray mbox = mboxMessage(1) + mboxMessage(2) + mboxMessage(3);
    const QByteArray lf = mbox;
    mbox.replace("\n", "\r\n");
    const QString path = m_dir->filePath("box.mbox");
    test::writeFile(path, mbox);
    const FileExpansion::Result result = FileExpansion::explodeFilesAndFolders({path}, m_split);
    QCOMPARE(result.emls.size(), 3);
    QVERIFY(result.unreadable.isEmpty());
    // Named by where each message ends in the cleaned mailbox; the separator line is gone.
    const qsizetype one = mboxMessage(1).size() - 1;
    const qsizetype two = one + mboxMessage(2).size();
    QCOMPARE(QFileInfo(result.emls[0]).fileName(), QStringLiteral("m_%1.eml").arg(one));
    QCOMPARE(QFileInfo(result.emls[1]).fileName(), QStringLiteral("m_%1.eml").arg(two));
    QCOMPARE(QFileInfo(result.emls[2]).fileName(), QStringLiteral("m_%1.eml").arg(lf.size()));
    for (int i = 0; i < 3; ++i) {
        const QByteArray message = test::readFile(result.emls[i]);
        QVERIFY(!message.contains('\r'));
        QVERIFY(message.startsWith("From: sender@example.com\n"));
        QVERIFY(message.contains(">From quoted separators stay."));
        QVERIFY(message.contains("Subject: message " + QByteArray::number(i + 1)));
    }
    // A short last message (under 100 bytes from its separator) is not a message.
    test::writeFile(path, mboxMessage(1) + "From x\nshort\n");
    QCOMPARE(FileExpansion::explodeFilesAndFolders({path}, m_split).emls.size(), 1);
}

void TestFileExpansion::lineEndings_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("crlf") << QByteArray("a\r\nb") << QByteArray("a\nb");
    QTest::newRow("lfcr") << QByteArray("a\n\rb") << QByteArray("a\nb");
    QTest::newRow("lone cr") << QByteArray("a\rb") << QByteArray("a\nb");
    QTest::newRow("cr cr lf") << QByteArray("a\r\r\nb") << QByteArray("a\n\nb");
    QTest::newRow("edges") << QByteArray("\ra\r") << QByteArray("\na\n");
    QTest::newRow("none") << QByteArray("plain\n") << QByteArray("plain\n");
}

void TestFileExpansion::lineEndings() {
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QCOMPARE(FileExpansion::cleanUpLineEndings(in), out);
}

void TestFileExpansion::separatorWithoutLineEnd() {
    // After a good message, a separator line that never ends: reported, never read past the end.
    const QString path = m_dir->filePath("broken.mbox");
    test::writeFile(path, mboxMessage(1) + "From endless " + QByteArray(200, 'x'));
    const FileExpansion::Result result = FileExpansion::explodeFilesAndFolders({path}, m_split);
    QCOMPARE(result.emls.size(), 1);
    QCOMPARE(result.unreadable.size(), 1);
    QCOMPARE(result.unreadable.first().path, path);
    QVERIFY(result.unreadable.first().reason.contains("separator"));
}

void TestFileExpansion::symlinkLoopsEnd() {
    const QString folder = m_dir->filePath("loop");
    test::writeFile(folder + "/a.eml", "x");
    QVERIFY(QFile::link(folder, folder + "/again"));
    QVERIFY(QFile::link(m_dir->path(), folder + "/up"));
    const FileExpansion::Result result = FileExpansion::explodeFilesAndFolders({folder}, m_split);
    QCOMPARE(result.emls.size(), 1);
}

void TestFileExpansion::headerRepair() {
    const QByteArray broken = "Date Mon, 1 Jan 2001\n"
                              "Received: from x (y)\n"
                              "foo\n"
                              ": leading colon\n"
                              "Subject:NoSpace\n"
                              "Weird Name: value\n"
                              "X: 1\nX: 2\nX: 3\n"
                              "\n"
                              "body (kept) as is\nmore\n";
    const std::optional<QByteArray> fixed = FileExpansion::fixHeaderLinesInData(broken);
    QVERIFY(fixed);
    QCOMPARE(*fixed, QByteArray("Received: from x  y \n"
                                " foo\n"
                                " : leading colon\n"
                                "Subject:NoSpace\n"
                                " Weird Name: value\n"
                                "X: 1\nX: 2\nX: 3\n"
                                "\n"
                                "body (kept) as is\nmore\n"));
    QVERIFY(!FileExpansion::fixHeaderLinesInData("a: 1\nb: 2\nc: 3\nd: 4\n\n1\n2\n3\n4"));
    // Bytes that are not UTF-8 come back unchanged where lines are kept.
    const QByteArray latin =
        QByteArray("Subject: caf\xe9\n") + QByteArray("A: 1\n").repeated(9) + "\nbody";
    QCOMPARE(*FileExpansion::fixHeaderLinesInData(latin), latin);
    // Every line ending counts (CR LF, a lone CR, NEL) and all come out as LF; a line opening
    // with a parenthesis is a continuation.
    QCOMPARE(*FileExpansion::fixHeaderLinesInData("A: 1\r\nB: 2\rC: 3\x85(D) 4\r\n" +
                                                  QByteArray("E: 5\n").repeated(6) +
                                                  "\r\nbody\r\r\nend"),
             "A: 1\nB: 2\nC: 3\n D  4\n" + QByteArray("E: 5\n").repeated(6) + "\nbody\n\nend");
}

void TestFileExpansion::mailboxOver2GiB() {
    // A sparse file: two messages with over 2 GiB of zeros after the first.
    const QString path = m_dir->filePath("huge.mbox");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(mboxMessage(1));
        const qint64 gap = (qint64(1) << 31) + 4096;
        if (!file.resize(file.size() + gap) || !file.seek(file.size())) {
            QSKIP("the file system takes no sparse 2 GiB file here");
        }
        file.write("\n" + mboxMessage(2));
    }
    const FileExpansion::Result result = FileExpansion::explodeFilesAndFolders({path}, m_split);
    QCOMPARE(result.emls.size(), 2);
    const QString last = QFileInfo(result.emls.last()).fileName();
    QCOMPARE(last, QStringLiteral("m_%1.eml").arg(QFileInfo(path).size()));
    QVERIFY(test::readFile(result.emls.last())
                .startsWith("From: sender@example.com\nSubject: message 2"));
    QFile::remove(result.emls.first()); // 2 GiB of zeros
}

QTEST_GUILESS_MAIN(TestFileExpansion)
#include "tst_fileexpansion.moc"
