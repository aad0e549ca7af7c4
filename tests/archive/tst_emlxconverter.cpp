#include "archive/sources/emlxconverter.h"
#include "platform/mail/mcomessageparser.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

QByteArray emlx(const QByteArray& message) {
    return QByteArray::number(message.size()) + "\n" + message +
           "<?xml version=\"1.0\"?><plist><dict/></plist>\n";
}

QByteArray partialMessage(int firstLength, int secondLength, int gapBeforeBlank = 0) {
    return "From: a@example.com\nSubject: partial\nContent-Type: multipart/mixed; boundary=b\n\n"
           "--b\nContent-Type: text/plain\n\nbody\n"
           "--b\nContent-Type: application/pdf; name=one.pdf\nContent-Transfer-Encoding: base64\n"
           "X-Apple-Content-Length: " +
           QByteArray::number(firstLength) + "\n" + QByteArray(gapBeforeBlank, 'h') +
           "\n\n"
           "--b\nContent-Type: image/png; name=two.png\nContent-Transfer-Encoding: base64\n"
           "X-Apple-Content-Length: " +
           QByteArray::number(secondLength) +
           "\n\n\n"
           "--b--\n";
}

} // namespace

class TestEmlxConverter : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void plainEmlx();
    void partsArePutBack();
    void farBlankLineGetsNoPart();
    void corruptLengths();
    void realPartialMailbox();
};

void TestEmlxConverter::plainEmlx() {
    QTemporaryDir dir;
    const QByteArray message = "From: a@example.com\nSubject: hi\n\nbody\n";
    const QString path = dir.filePath("Mail/Messages/123.emlx");
    test::writeFile(path, emlx(message));
    QString attachments = "unset";
    QCOMPARE(*EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(path, &attachments), message);
    QCOMPARE(attachments, QString()); // no Attachments/123 beside Messages
    test::writeFile(dir.filePath("Mail/Attachments/123/2/file.txt"), "x");
    EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(path, &attachments);
    QCOMPARE(attachments, dir.filePath("Mail/Attachments/123"));
    QVERIFY(!EmlxConverter::emlxparts(path)); // not a partial message
}

void TestEmlxConverter::partsArePutBack() {
    QTemporaryDir dir;
    const QString path = dir.filePath("Messages/123.partial.emlx");
    test::writeFile(path, emlx(partialMessage(7800, 1560)));
    const QByteArray first(7700, 'A');
    const QByteArray second(1540, 'B');
    test::writeFile(dir.filePath("Messages/123.1.emlxpart"),
                    second); // names don't decide, sizes do
    test::writeFile(dir.filePath("Messages/123.2.emlxpart"), first);
    test::writeFile(dir.filePath("Messages/123.2.1.emlxpart"), "");
    QCOMPARE(EmlxConverter::emlxparts(path)->size(), 3);
    const QByteArray raw = *EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(path, nullptr);
    const qsizetype a = raw.indexOf(first);
    const qsizetype b = raw.indexOf(second);
    QVERIFY(a > 0 && b > a);
    QVERIFY(raw.mid(a - 2, 2) == "\n\n" || raw.at(a - 1) == '\n');
    QVERIFY(raw.indexOf("one.pdf") < a && a < raw.indexOf("two.png") && raw.indexOf("two.png") < b);
}

void TestEmlxConverter::farBlankLineGetsNoPart() {
    QTemporaryDir dir;
    const QString path = dir.filePath("Messages/7.partial.emlx");
    const QByteArray message = partialMessage(7800, 1560, 400);
    test::writeFile(path, emlx(message));
    test::writeFile(dir.filePath("Messages/7.1.emlxpart"), QByteArray(7700, 'A'));
    test::writeFile(dir.filePath("Messages/7.2.emlxpart"), QByteArray(1540, 'B'));
    const QByteArray raw = *EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(path, nullptr);
    // No blank line within 320 bytes of the first header: the insertions stop there and the
    // rest of the message follows unchanged.
    QVERIFY(!raw.contains(QByteArray(7700, 'A')));
    QVERIFY(raw.endsWith(message.mid(message.indexOf("X-Apple-Content-Length: 7800"))));
}

void TestEmlxConverter::corruptLengths() {
    QTemporaryDir dir;
    const QString path = dir.filePath("9.emlx");
    test::writeFile(path, "5000\n" + QByteArray(4000, 'm'));
    QCOMPARE(EmlxConverter::emlxFileToEMLData(path)->size(), 3999);
    test::writeFile(path, "12\nshort");
    QVERIFY(!EmlxConverter::emlxFileToEMLData(path)); // fewer than 25 bytes
    test::writeFile(path, QByteArray(40, '7'));       // no line end at all
    QVERIFY(!EmlxConverter::emlxFileToEMLData(path));
    test::writeFile(path, "  30 trailing\n" + QByteArray(40, 'z'));
    QCOMPARE(EmlxConverter::emlxFileToEMLData(path)->size(), 30);
}

void TestEmlxConverter::realPartialMailbox() {
    const QString corpus = test::sharedCorpusDir();
    const QString folder = corpus + "/emlx/partialemlx-mailbox/Messages";
    if (corpus.isEmpty() || !QDir(folder).exists()) {
        QSKIP("the shared corpus is not beside the repository");
    }
    int partial = 0;
    for (const QString& name : QDir(folder).entryList({"*.partial.emlx"}, QDir::Files)) {
        const QString path = folder + u'/' + name;
        QString attachments;
        const std::optional<QByteArray> raw =
            EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(path, &attachments);
        QVERIFY(raw);
        MCOMessageParser parser(*raw);
        QVERIFY(!parser.header().subject().isEmpty() || parser.header().from());
        ++partial;
    }
    QVERIFY(partial > 0);
}

QTEST_GUILESS_MAIN(TestEmlxConverter)
#include "tst_emlxconverter.moc"
