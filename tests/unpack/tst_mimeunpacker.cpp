#include "testsupport.h"
#include "unpack/mimeunpacker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {
QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class TestMimeUnpacker : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void namesStayInTheFolder_data();
    void namesStayInTheFolder();
    void uuencodedBlocks();
    void longNamesKeepTheirEnd_data();
    void longNamesKeepTheirEnd();
    void hugeUuencodedName();
    void mimeContentAndExistingFiles();
    void tnefContainers();
    void plainBytesGiveNothing();
};

void TestMimeUnpacker::namesStayInTheFolder_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "report.pdf"
                           << "report.pdf";
    QTest::newRow("climbing") << "../../etc/passwd"
                              << "passwd";
    QTest::newRow("windows path") << "C:\\Users\\ann\\doc.txt"
                                  << "doc.txt";
    QTest::newRow("dot dot") << ".."
                             << "";
    QTest::newRow("control characters") << QStringLiteral("a\nb\tc") + QChar(u'\0') << "abc";
    QTest::newRow("trailing slash") << "dir/"
                                    << "";
}

void TestMimeUnpacker::namesStayInTheFolder() {
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(MimeUnpacker::safeFileName(name), expected);
}

void TestMimeUnpacker::uuencodedBlocks() {
    QTemporaryDir dir;
    const QByteArray content = "Some text first\n"
                               "begin 644 ../../cat.txt\n#8V%T\n`\nend\n"
                               "between\n"
                               "begin 600 dog.txt\n#9&]G\n`\nend\n";
    const MimeUnpacker::Result result = MimeUnpacker::decode(content, dir.path());
    QCOMPARE(result.status, 0);
    QCOMPARE(result.written, (QStringList{dir.filePath("cat.txt"), dir.filePath("dog.txt")}));
    QCOMPARE(read(dir.filePath("cat.txt")), QByteArray("cat"));
    QCOMPARE(read(dir.filePath("dog.txt")), QByteArray("dog"));
}

void TestMimeUnpacker::longNamesKeepTheirEnd_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    const QString txt = QStringLiteral(".txt");
    QTest::newRow("fits") << QString(251, u'a') + txt << QString(251, u'a') + txt;
    QTest::newRow("one byte over")
        << QStringLiteral("b") + QString(251, u'a') + txt << QString(251, u'a') + txt;
    // 251 bytes are left before ".txt": the cut falls inside a character of two, three and four
    // bytes, which is then dropped whole.
    const QString e = QStringLiteral("\u00e9");        // two bytes
    const QString han = QStringLiteral("\u6f22");      // three bytes
    const QString face = QStringLiteral("\U0001F600"); // four bytes, a surrogate pair
    QTest::newRow("two-byte characters") << e.repeated(200) + txt << e.repeated(125) + txt;
    QTest::newRow("three-byte characters") << han.repeated(200) + txt << han.repeated(83) + txt;
    QTest::newRow("surrogate pairs") << face.repeated(200) + txt << face.repeated(62) + txt;
    QTest::newRow("mixed at the cut")
        << QString(300, u'a') + face + e + QString(246, u'z') + txt << e + QString(246, u'z') + txt;
    // A lone surrogate counts as three bytes, the most an encoder writes for it (U+FFFD; Qt 6.4
    // writes "?"), so the name fits whichever it is.
    QTest::newRow("lone surrogates")
        << QString(200, QChar(0xD800)) + txt << QString(83, QChar(0xD800)) + txt;
    QTest::newRow("five megabytes")
        << face.repeated(1'250'000) + e + txt << face.repeated(62) + e + txt;
}

void TestMimeUnpacker::longNamesKeepTheirEnd() {
    QFETCH(QString, name);
    QFETCH(QString, expected);
    const QString fitted = MimeUnpacker::safeFileName(name);
    QCOMPARE(fitted.size(), expected.size());
    QVERIFY(fitted == expected);
    const QByteArray bytes = fitted.toUtf8();
    QVERIFY(bytes.size() <= 255);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(bytes);
    QVERIFY(!utf8.hasError() && !decoded.isEmpty());
    // Nothing dropped that would have fitted.
    QVERIFY(bytes.size() > 251 || fitted.front().isSurrogate());
    QVERIFY(!fitted.front().isLowSurrogate());
}

void TestMimeUnpacker::hugeUuencodedName() {
    QTemporaryDir dir;
    const QByteArray stem(3 * 1024 * 1024, 'n');
    const QByteArray content = "begin 644 " + stem + ".txt\n#8V%T\n`\nend\n";
    const MimeUnpacker::Result result = MimeUnpacker::decode(content, dir.path());
    const QString expected = dir.filePath(QString(251, u'n') + QStringLiteral(".txt"));
    QCOMPARE(result.written, QStringList{expected});
    QCOMPARE(read(expected), QByteArray("cat"));
}

void TestMimeUnpacker::mimeContentAndExistingFiles() {
    QTemporaryDir dir;
    QFile existing(dir.filePath("b.txt"));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("mine");
    existing.close();
    const QByteArray content = test::crlfMessage(
        "Content-Type: multipart/mixed; boundary=x\n\n"
        "--x\nContent-Type: text/plain\n\nbody text is not a file\n"
        "--x\nContent-Type: text/plain; name=\"a.txt\"\nContent-Transfer-Encoding: base64\n\nQUFB\n"
        "--x\nContent-Type: text/plain; name=\"/tmp/../b.txt\"\n\nBBB\n"
        "--x--\n");
    const MimeUnpacker::Result result = MimeUnpacker::decode(content, dir.path());
    QCOMPARE(result.written, QStringList{dir.filePath("a.txt")});
    QCOMPARE(read(dir.filePath("a.txt")), QByteArray("AAA"));
    QCOMPARE(read(dir.filePath("b.txt")), QByteArray("mine"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    QCOMPARE(MimeUnpacker::decode(content, dir.filePath("missing")).status, -1);
}

void TestMimeUnpacker::tnefContainers() {
    const QString corpus = test::sharedCorpusDir();
    if (corpus.isEmpty()) {
        QSKIP("the shared corpus (with TNEF samples) is not beside the repository");
    }
    QTemporaryDir dir;
    const MimeUnpacker::Result two =
        MimeUnpacker::decodeFile(corpus + "/tnef/mimekit-tnef-two-files.tnef", dir.path());
    QCOMPARE(two.status, 0);
    QCOMPARE(two.written.size(), 2);
    for (const QString& path : two.written) {
        QVERIFY(path.startsWith(dir.path() + u'/'));
        QVERIFY(QFileInfo(path).size() > 0);
    }
    // Every sample, broken ones included, is read without harm and writes only inside.
    int files = 0;
    for (const QString& name : QDir(corpus + "/tnef").entryList(QDir::Files)) {
        QTemporaryDir each;
        const MimeUnpacker::Result result =
            MimeUnpacker::decodeFile(corpus + "/tnef/" + name, each.path());
        QCOMPARE(result.status, 0);
        for (const QString& path : result.written) {
            QVERIFY(path.startsWith(each.path() + u'/'));
        }
        files += static_cast<int>(result.written.size());
    }
    qInfo("unpacked %d files from the TNEF samples", files);
}

void TestMimeUnpacker::plainBytesGiveNothing() {
    QTemporaryDir dir;
    const QByteArray pdf = "%PDF-1.4\n" + QByteArray(500, 'p');
    QVERIFY(MimeUnpacker::decode(pdf, dir.path()).written.isEmpty());
    QVERIFY(QDir(dir.path()).isEmpty());
}

QTEST_GUILESS_MAIN(TestMimeUnpacker)
#include "tst_mimeunpacker.moc"
