#include "platform/mail/mcomessageparser.h"
#include "platform/mail/textdecoding.h"
#include "render/mcohtmlrenderer.h"
#include "render/mcotemplate.h"
#include "testsupport.h"

#include <QTest>

using namespace tessaly;
using tessaly::test::crlfMessage;

class TestHtmlRenderer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void templates();
    void plainText();
    void charsets_data();
    void charsets();
    void messageLayout();
    void embeddedMessageAndScripts();
};

void TestHtmlRenderer::templates() {
    const QHash<QString, QString> values{{"NAME", "a.pdf"}, {"HASSIZE", "1"}, {"SIZE", "2 KB"}};
    QCOMPARE(
        fillTemplate("{{#HASSIZE}}- {{NAME}}, {{SIZE}}{{/HASSIZE}}{{#NOSIZE}}- {{NAME}}{{/NOSIZE}}",
                     values),
        QStringLiteral("- a.pdf, 2 KB"));
    QCOMPARE(fillTemplate("x{{UNKNOWN}}y{{#OPEN}}z", values), QStringLiteral("xyz"));
    // A value is inserted once, never expanded as a template itself.
    QCOMPARE(fillTemplate("{{NAME}}", {{"NAME", "{{SIZE}}"}, {"SIZE", "no"}}),
             QStringLiteral("{{SIZE}}"));
    QCOMPARE(escapeHtml("a&b\"c'd>e<f"), QStringLiteral("a&amp;b&quot;c&#39;d&gt;e&lt;f"));
}

void TestHtmlRenderer::plainText() {
    const QString html = plainTextToHtml("Hi <b>\r\n> quoted\n>> deeper\n> back\nend");
    QVERIFY(html.contains(QStringLiteral("Hi &lt;b&gt;<br>")));
    QCOMPARE(html.count(QStringLiteral("<blockquote")), 2);
    QCOMPARE(html.count(QStringLiteral("</blockquote>")), 2);
    QVERIFY(html.indexOf(QStringLiteral("deeper")) <
            html.lastIndexOf(QStringLiteral("</blockquote>")));
    QVERIFY(html.contains(QStringLiteral("</blockquote>end")));
}

void TestHtmlRenderer::charsets_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("declared");
    QTest::addColumn<bool>("html");
    QTest::addColumn<QString>("expected");
    QTest::newRow("utf-8 declared latin-1")
        << QByteArray("caf\xc3\xa9") << "iso-8859-1" << false << QStringLiteral("café");
    QTest::newRow("latin-1 declared utf-8")
        << QByteArray("caf\xe9") << "utf-8" << false << QStringLiteral("café");
    QTest::newRow("windows-1251") << QByteArray("\xcf\xf0\xe8\xe2\xe5\xf2") << "windows-1251"
                                  << false << QStringLiteral("Привет");
    QTest::newRow("iso-2022-jp honoured") << QByteArray("\x1b$B$3$s$K$A$O\x1b(B") << "ISO-2022-JP"
                                          << false << QStringLiteral("こんにちは");
    QTest::newRow("meta charset without a label")
        << QByteArray("<meta charset=\"koi8-u\"><p>\xf0\xd2\xc9\xd7\xa6\xd4</p>") << "" << true
        << QStringLiteral("<meta charset=\"koi8-u\"><p>Привіт</p>");
    QTest::newRow("bogus label") << QByteArray("caf\xe9") << "x-no-such-charset" << false
                                 << QStringLiteral("café");
}

void TestHtmlRenderer::charsets() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, declared);
    QFETCH(bool, html);
    QFETCH(QString, expected);
    QCOMPARE(decodeTextPart(bytes, declared, html), expected);
}

void TestHtmlRenderer::messageLayout() {
    MCOMessageParser parser(crlfMessage(
        "From: Ann <ann@example.com>\nTo: bob@example.com\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\n"
        "Date: Sat, 18 Jan 2014 08:16:20 +0000\n"
        "Content-Type: multipart/mixed; boundary=m\n\n"
        "--m\nContent-Type: multipart/alternative; boundary=a\n\n"
        "--a\nContent-Type: text/plain\n\nplain version\n"
        "--a\nContent-Type: multipart/related; boundary=r\n\n"
        "--r\nContent-Type: text/html; charset=iso-8859-1\n\n<p>HTML version \xe9</p><img "
        "src=\"cid:logo@x\">\n"
        "--r\nContent-Type: image/png\nContent-ID: <logo@x>\n\nPNG\n"
        "--r--\n--a--\n"
        "--m\nContent-Type: application/zip; name=\"data.zip\"\nContent-Disposition: "
        "attachment\n\n" +
        QByteArray(3000, 'z') +
        "\n"
        "--m\nContent-Type: image/jpeg; name=\"photo.jpg\"\n\nJPEG\n"
        "--m--\n"));
    const QString html = htmlRenderingWithDelegate(parser, nullptr);
    QVERIFY(html.contains(QStringLiteral("Grüße")));
    QVERIFY(html.contains(QStringLiteral("ann@example.com")));
    QVERIFY(html.contains(QStringLiteral("HTML version é")));
    QVERIFY(!html.contains(QStringLiteral("plain version")));
    QVERIFY(html.contains(QStringLiteral("cid:logo@x")));
    QVERIFY(html.contains(QStringLiteral("- data.zip, 2.9 KB")));
    const MCOAttachment photo = *parser.partForContentID(u"logo@x");
    QVERIFY(!photo.uniqueID.isEmpty());
    QVERIFY(html.contains(QStringLiteral("<img src=\"x-mailcore-image:")));
}

void TestHtmlRenderer::embeddedMessageAndScripts() {
    MCOMessageParser parser(crlfMessage(
        "From: a@example.com\nSubject: outer\nContent-Type: multipart/mixed; boundary=m\n\n"
        "--m\nContent-Type: text/html\n\n<html><head><meta http-equiv=\"refresh\" "
        "content=\"0;url=http://x\">"
        "<title>t</title><script>alert(1)</script></head><body><p>visible</p></body></html>\n"
        "--m\nContent-Type: message/rfc822\n\n"
        "From: inner@example.com\nSubject: Inner subject\n\ninner body text\n"
        "--m--\n"));
    const QString html = htmlRenderingWithDelegate(parser, nullptr);
    QVERIFY(html.contains(QStringLiteral("<p>visible</p>")));
    QVERIFY(!html.contains(QStringLiteral("<script"), Qt::CaseInsensitive));
    QVERIFY(!html.contains(QStringLiteral("<meta"), Qt::CaseInsensitive));
    QVERIFY(!html.contains(QStringLiteral("alert(1)")));
    QVERIFY(html.contains(QStringLiteral("Inner subject")));
    QVERIFY(html.contains(QStringLiteral("inner body text")));
}

QTEST_GUILESS_MAIN(TestHtmlRenderer)
#include "tst_htmlrenderer.moc"
