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
    void unusablePreviewsShowAsAttachments();
    void remoteLoadsFollowTheJob();
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

namespace {

MCOAttachment partNamed(const MCOMessageParser& message, const QString& name) {
    for (const QList<MCOAttachment>* list :
         {&message.attachments(), &message.htmlInlineAttachments()}) {
        for (const MCOAttachment& part : *list) {
            if (part.filename == name) {
                return part;
            }
        }
    }
    qFatal("no part named %s", qPrintable(name));
}

QByteArray mimePart(const QByteArray& headers, const QByteArray& data) {
    return "--b\n" + headers + "\nContent-Transfer-Encoding: base64\n\n" + data.toBase64() + "\n";
}

} // namespace

void TestPageParts::unusablePreviewsShowAsAttachments() {
    const QByteArray brokenPdf = "%PDF-1.4\n" + QByteArray(5120 - 9, 'x');
    const QByteArray brokenPng = QByteArray::fromHex("89504e470d0a1a0a") + QByteArray(3064, 'y');
    const QByteArray tinyBrokenGif = "GIF89a" + QByteArray(34, 'g');
    const QByteArray goodPdf = test::makePdf();
    const QByteArray goodPng = test::makePng({200, 100}, Qt::green);
    const QByteArray tinyPng = test::makePng({1, 1}, Qt::red);
    QVERIFY(tinyPng.size() < 100);

    const QByteArray raw = test::crlfMessage(
        "From: a@example.com\nSubject: previews\nContent-Type: multipart/mixed; boundary=b\n\n"
        "--b\nContent-Type: text/plain\n\nsee the files\n" +
        mimePart("Content-Type: application/pdf; name=broken.pdf\n"
                 "Content-Disposition: attachment",
                 brokenPdf) +
        mimePart("Content-Type: image/png; name=broken.png", brokenPng) +
        mimePart("Content-Type: image/gif; name=tiny-broken.gif", tinyBrokenGif) +
        mimePart("Content-Type: application/pdf; name=good.pdf\n"
                 "Content-Disposition: attachment",
                 goodPdf) +
        mimePart("Content-Type: image/png; name=good.png", goodPng) +
        mimePart("Content-Type: image/png; name=tiny.png", tinyPng) + "--b--\n");
    auto message = MCOMessageParser::messageParserWithData(raw);
    test::FakeWebView view;
    MCTMsgViewController controller(&view, JobOptions{});
    controller.setTheMessage(message);
    const QString html = view.loadedHtml.first();
    const auto imageOf = [](const MCOAttachment& part) {
        return QStringLiteral("<img src=\"x-mailcore-image:%1\"/>").arg(part.uniqueID);
    };
    const auto served = [&view](const MCOAttachment& part) {
        return view.partSource(QUrl("x-mailcore-image:" + part.uniqueID));
    };

    // No picture can be made of these: each is an attachment with its name and size.
    const std::pair<const char*, const char*> unusable[] = {
        {"broken.pdf", "- broken.pdf, 5.0 KB"},
        {"broken.png", "- broken.png, 3.0 KB"},
        {"tiny-broken.gif", "- tiny-broken.gif, 40 bytes"}};
    for (const auto& [name, line] : unusable) {
        const MCOAttachment part = partNamed(*message, name);
        QVERIFY2(html.contains(QLatin1String(line)), name);
        QVERIFY2(!html.contains("x-mailcore-image:" + part.uniqueID), name);
        QVERIFY2(!served(part), name);
    }
    QCOMPARE(html.count(QStringLiteral("x-mailcore-image:")), 3);

    // Sound ones keep their previews, made once and served as before.
    const MCOAttachment pdf = partNamed(*message, "good.pdf");
    QVERIFY(html.contains(imageOf(pdf)));
    QVERIFY(!html.contains(QStringLiteral("- good.pdf")));
    const QImage pdfPreview = QImage::fromData(*served(pdf), "JPEG");
    QVERIFY(!pdfPreview.isNull());
    QVERIFY(pdfPreview.width() <= 400 && pdfPreview.height() <= 600);

    const MCOAttachment png = partNamed(*message, "good.png");
    QVERIFY(html.contains(imageOf(png)));
    QCOMPARE(*served(png), *MCTMsgViewController::previewForData(goodPng, false));
    QCOMPARE(QImage::fromData(*served(png)).size(), QSize(200, 100));

    const MCOAttachment tiny = partNamed(*message, "tiny.png");
    QVERIFY(html.contains(imageOf(tiny)));
    QCOMPARE(*served(tiny), tinyPng);

    // Laying the page out again gives the same page.
    controller.reload();
    QCOMPARE(view.loadedHtml.last(), html);
}

void TestPageParts::remoteLoadsFollowTheJob() {
    // One view serves engines of different jobs: each message loads with its own job's choice.
    test::FakeWebView view;
    auto message = MCOMessageParser::messageParserWithData(
        test::crlfMessage("From: a@example.com\nSubject: s\n\nbody\n"));
    JobOptions off;
    off.loadRemoteImages = false;
    MCTMsgViewController withoutRemote(&view, off);
    withoutRemote.setTheMessage(message);
    QVERIFY(!view.remoteLoadsAllowed());

    MCTMsgViewController withDefaults(&view, JobOptions{});
    withDefaults.setTheMessage(message);
    QVERIFY(view.remoteLoadsAllowed());

    withoutRemote.reload();
    QVERIFY(!view.remoteLoadsAllowed());
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
