#include "fakewebview.h"
#include "platform/pdf/pdfinfo.h"
#include "render/msgviewcontroller.h"
#include "render/pdfstamp.h"
#include "testsupport.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

class TestPageParts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void partsAreServedWithPreviews();
    void stampingNeverLosesThePdf();
    void keywordsAreMergedLowerCase();
};

void TestPageParts::partsAreServedWithPreviews() {
    const QByteArray png = test::makePng({1200, 900}, Qt::green);
    const QByteArray pdf = test::makePdf();

    const QByteArray raw = test::crlfMessage(
        "From: a@example.com\nSubject: parts\nContent-Type: multipart/mixed; boundary=b\n\n"
        "--b\nContent-Type: text/html\n\n<img src=\"cid:big@x\">\n"
        "--b\nContent-Type: image/png\nContent-ID: <big@x>\nContent-Transfer-Encoding: base64\n\n" +
        png.toBase64() +
        "\n"
        "--b\nContent-Type: application/pdf; name=doc.pdf\nContent-Disposition: attachment\n"
        "Content-Transfer-Encoding: base64\n\n" +
        pdf.toBase64() +
        "\n"
        "--b\nContent-Type: application/octet-stream; name=tiny.bin\n"
        "Content-Disposition: attachment\n\n" +
        QByteArray(50, 't') +
        "\n"
        "--b--\n");
    auto message = MCOMessageParser::messageParserWithData(raw);
    test::FakeWebView view;
    MCTMsgViewController controller(&view, JobOptions{});
    controller.setTheMessage(message);
    QVERIFY(view.partSource);

    // An image the body shows by Content-ID is served as it is.
    QCOMPARE(*view.partSource(QUrl("cid:big@x")), png);
    QVERIFY(!view.partSource(QUrl("cid:missing@x")));

    // A PDF attachment is shown as a JPEG of its first page, within 400 by 600.
    const MCOAttachment doc = message->attachments().at(0);
    QVERIFY(view.loadedHtml.first().contains("x-mailcore-image:" + doc.uniqueID));
    const QByteArray preview = *view.partSource(QUrl("x-mailcore-image:" + doc.uniqueID + "?x=1"));
    QVERIFY(preview.startsWith("\xff\xd8"));
    const QImage thumbnail = QImage::fromData(preview, "JPEG");
    QVERIFY(!thumbnail.isNull());
    QVERIFY(thumbnail.width() <= 400 && thumbnail.height() <= 600);

    // Under 100 bytes: served unchanged.
    const MCOAttachment tiny = message->attachments().at(1);
    QCOMPARE(*view.partSource(QUrl("x-mailcore-image:" + tiny.uniqueID)), QByteArray(50, 't'));

    // A big image that is not shown by Content-ID becomes a thumbnail of at most 600 pixels.
    const std::optional<QByteArray> scaled = MCTMsgViewController::previewForData(png, false);
    QVERIFY(scaled);
    QCOMPARE(QImage::fromData(*scaled).size(), QSize(600, 450));
    QVERIFY(!MCTMsgViewController::previewForData(QByteArray(500, 'q'), false));
}

void TestPageParts::stampingNeverLosesThePdf() {
    QTemporaryDir dir;
    const QString notPdf = dir.filePath("broken.pdf");
    QFile file(notPdf);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(8000, 'x'));
    file.close();
    MCOMessageParser message(test::crlfMessage("From: a@example.com\nSubject: s\n\nbody\n"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("adding keywords did not work.*"));
    QVERIFY(!PdfStamp::addEmailsAsKeywords(notPdf, message.header(), std::nullopt));
    QCOMPARE(QFileInfo(notPdf).size(), 8000);

    const QString good = dir.filePath("good.pdf");
    QFile goodFile(good);
    QVERIFY(goodFile.open(QIODevice::WriteOnly));
    goodFile.write(test::makePdf());
    goodFile.close();
    QVERIFY(PdfStamp::addEmailsAsKeywords(good, message.header(), std::nullopt));
    QMap<QString, QString> info;
    QVERIFY(PdfInfo::read(good, info, nullptr));
    QCOMPARE(info.value("Title"), QStringLiteral("s"));
}

void TestPageParts::keywordsAreMergedLowerCase() {
    MCOMessageParser message(test::crlfMessage(
        "From: Ann <Ann@Example.com>\nTo: ann@example.com, Bob <BOB@example.com>\n"
        "Cc: carl@example.com\nBcc: dora@example.com\nSubject: s\n\nbody\n"));
    QStringList addresses = PdfStamp::emailAddressesForMessage(message.header());
    addresses.sort();
    QCOMPARE(addresses, (QStringList{"ann@example.com", "bob@example.com", "carl@example.com",
                                     "dora@example.com"}));
    const auto attributes =
        PdfStamp::pdfDictWithKeywords(message.header(), std::nullopt, "Earlier, BOB@example.com",
                                      QDateTime::currentDateTimeUtc());
    QStringList keywords = attributes.value("Keywords").toString().split(", ");
    keywords.sort();
    QCOMPARE(keywords, (QStringList{"ann@example.com", "bob@example.com", "carl@example.com",
                                    "dora@example.com", "earlier"}));
    QVERIFY(!attributes.contains("CreationDate"));
    QCOMPARE(PdfStamp::combineArraysSkipDuplicatesLowercase({}, {}), QStringList{});
}

QTEST_MAIN(TestPageParts)
#include "tst_pageparts.moc"
