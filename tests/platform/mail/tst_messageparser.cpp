#include "platform/mail/mcomessageparser.h"
#include "platform/mail/mimetree.h"
#include "platform/mail/textdecoding.h"
#include "platform/mail/uudecode.h"
#include "testsupport.h"

#include <QTest>

using namespace tessaly;
using tessaly::test::crlfMessage;

class TestMessageParser : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void headerTextIsDecoded_data();
    void headerTextIsDecoded();
    void addressFields();
    void dates();
    void rawFieldsAndDescription();
    void keepsExactBytes();
    void classifiesParts();
    void alternativeShowsOnePart();
    void decodesAttachmentNames_data();
    void decodesAttachmentNames();
    void decodesTransferEncodings();
    void hostileInputNeitherCrashesNorHangs_data();
    void hostileInputNeitherCrashesNorHangs();
    void partTree();
    void partTreeOfSinglePartAndEmptyMessage();
    void partTreeIsCutWhenTooDeep();
    void relatedRootAndAlternatives();
    void uudecodesBlocks();
    void enrichedText();
};

void TestMessageParser::headerTextIsDecoded_data() {
    QTest::addColumn<QByteArray>("subjectLine");
    QTest::addColumn<QString>("expected");
    QTest::newRow("rfc2047 latin1")
        << QByteArray("=?ISO-8859-1?Q?Caf=E9_cr=E8me?=") << QStringLiteral("Café crème");
    QTest::newRow("rfc2047 utf8 base64")
        << QByteArray("=?UTF-8?B?0J/RgNC40LLQtdGC?=") << QStringLiteral("Привет");
    QTest::newRow("raw utf8") << QByteArray("Gr\xc3\xbc\xc3\x9f"
                                            "e")
                              << QStringLiteral("Grüße");
    QTest::newRow("raw windows-1252") << QByteArray("Price \x80 5 \x93quoted\x94 caf\xe9")
                                      << QStringLiteral("Price € 5 “quoted” café");
    QTest::newRow("plain") << QByteArray("Typical Email Subject")
                           << QStringLiteral("Typical Email Subject");
}

void TestMessageParser::headerTextIsDecoded() {
    QFETCH(QByteArray, subjectLine);
    QFETCH(QString, expected);
    const QByteArray raw =
        crlfMessage("From: a@example.com\nSubject: " + subjectLine + "\n\nbody\n");
    MCOMessageParser parser(raw);
    QCOMPARE(parser.header().subject(), expected);
}

void TestMessageParser::addressFields() {
    const QByteArray raw = crlfMessage("From: =?ISO-8859-1?Q?J=F6rg_M=FCller?= <joerg@example.de>\n"
                                       "Sender: List Bot <bot@lists.example>\n"
                                       "To: \"Doe, Jane\" <jane@example.com>, bob@example.com\n"
                                       "Cc: Team: ann@example.com, Carl Lee <carl@example.com>;\n"
                                       "Bcc: hidden@example.com\n"
                                       "Subject: x\n\nbody\n");
    MCOMessageParser parser(raw);
    const MCOMessageHeader& h = parser.header();
    QVERIFY(h.from());
    QCOMPARE(h.from()->displayName, QStringLiteral("Jörg Müller"));
    QCOMPARE(h.from()->mailbox, QStringLiteral("joerg@example.de"));
    QCOMPARE(h.sender()->displayName, QStringLiteral("List Bot"));
    QCOMPARE(h.to().size(), 2);
    QCOMPARE(h.to()[0].displayName, QStringLiteral("Doe, Jane"));
    QVERIFY(h.to()[1].displayName.isNull());
    QCOMPARE(h.to()[1].mailbox, QStringLiteral("bob@example.com"));
    // Group members count as recipients; the group's own name is not an address.
    QCOMPARE(h.cc().size(), 2);
    QCOMPARE(h.cc()[1].displayName, QStringLiteral("Carl Lee"));
    QCOMPARE(h.bcc().size(), 1);

    MCOMessageParser none(crlfMessage("Subject: nobody\n\nbody\n"));
    QVERIFY(!none.header().from());
    QVERIFY(none.header().to().isEmpty());
}

void TestMessageParser::dates() {
    MCOMessageParser dated(crlfMessage("Date: Sat, 18 Jan 2014 09:16:20 +0100\n\nx\n"));
    QVERIFY(dated.header().date());
    QCOMPARE(dated.header().date()->toSecsSinceEpoch(), 1390032980);

    MCOMessageParser undated(crlfMessage("Subject: none\n\nx\n"));
    QVERIFY(!undated.header().date());

    MCOMessageParser garbled(crlfMessage("Date: Whenever\n\nx\n"));
    QVERIFY(!garbled.header().date());

    // Setting the date is seen by later readers of the same header.
    const QDateTime repaired = QDateTime::fromSecsSinceEpoch(1000000000, Qt::UTC);
    garbled.header().setDate(repaired);
    QCOMPARE(garbled.header().date(), repaired);
}

void TestMessageParser::rawFieldsAndDescription() {
    const QByteArray raw = crlfMessage("Received: from a by b;\n"
                                       "\tSat, 18 Jan 2014 08:16:20 +0000\n"
                                       "Received: from c by d; Fri, 17 Jan 2014 08:00:00 +0000\n"
                                       "X-Keywords: work, urgent\n"
                                       "Subject: =?UTF-8?Q?caf=C3=A9?=\n\nbody\n");
    MCOMessageParser parser(raw);
    const MCOMessageHeader& h = parser.header();
    QCOMPARE(h.extraHeaderValueForName(u"received"),
             QStringLiteral("from a by b;\tSat, 18 Jan 2014 08:16:20 +0000"));
    QCOMPARE(h.extraHeaderValueForName(u"X-KEYWORDS"), QStringLiteral("work, urgent"));
    QVERIFY(!h.extraHeaderValueForName(u"Delivery-date"));
    const QString description = h.description();
    QVERIFY(description.contains(QStringLiteral("X-Keywords: work, urgent\n")));
    QCOMPARE(description.count(QStringLiteral("Received: ")), 2);
}

void TestMessageParser::keepsExactBytes() {
    // An mbox separator line, CR LF and LF mixed, 8-bit bytes: data() is the input, unchanged.
    const QByteArray raw("From someone@example.com Sat Jan 18 08:16:20 2014\n"
                         "Subject: mixed\r\nFrom: a@example.com\n\nbody \xff\r\n");
    MCOMessageParser parser(raw);
    QCOMPARE(parser.data(), raw);
    QCOMPARE(parser.header().subject(), QStringLiteral("mixed"));
    QCOMPARE(parser.header().from()->mailbox, QStringLiteral("a@example.com"));
}

void TestMessageParser::classifiesParts() {
    const QByteArray raw =
        crlfMessage("From: a@example.com\nSubject: parts\nMIME-Version: 1.0\n"
                    "Content-Type: multipart/mixed; boundary=\"outer\"\n\n"
                    "--outer\n"
                    "Content-Type: multipart/related; boundary=\"rel\"\n\n"
                    "--rel\nContent-Type: text/html; charset=utf-8\n\n<img src=\"cid:logo@x\">\n"
                    "--rel\nContent-Type: image/png\nContent-ID: "
                    "<logo@x>\nContent-Transfer-Encoding: base64\n\n"
                    "iVBORw0KGgo=\n"
                    "--rel--\n"
                    "--outer\nContent-Type: application/pdf; name=\"report.pdf\"\n"
                    "Content-Disposition: attachment; filename=\"report.pdf\"\n"
                    "Content-Transfer-Encoding: base64\n\nJVBERi0xLjQK\n"
                    "--outer\nContent-Type: image/jpeg; name=\"photo.jpg\"\n"
                    "Content-Disposition: attachment; filename=\"photo.jpg\"\n\nJPEGDATA\n"
                    "--outer\nContent-Type: image/gif\nContent-Disposition: inline\n\nGIF89a\n"
                    "--outer\nContent-Type: text/plain; name=\"notes.txt\"\n\nnotes\n"
                    "--outer--\n");
    MCOMessageParser parser(raw);

    const QList<MCOAttachment>& inlines = parser.htmlInlineAttachments();
    QCOMPARE(inlines.size(), 2);
    QCOMPARE(inlines[0].mimeType, QStringLiteral("image/png"));
    QCOMPARE(inlines[0].contentID, QStringLiteral("logo@x"));
    QCOMPARE(inlines[0].data, QByteArray("\x89PNG\r\n\x1a\n"));
    QCOMPARE(inlines[1].mimeType, QStringLiteral("image/gif"));

    // An image marked as an attachment is listed as one; so is a named text part.
    const QList<MCOAttachment>& attachments = parser.attachments();
    QCOMPARE(attachments.size(), 3);
    QCOMPARE(attachments[0].filename, QStringLiteral("report.pdf"));
    QCOMPARE(attachments[0].data, QByteArray("%PDF-1.4\n"));
    QCOMPARE(attachments[1].filename, QStringLiteral("photo.jpg"));
    QCOMPARE(attachments[2].filename, QStringLiteral("notes.txt"));

    QStringList ids;
    for (const auto* list : {&inlines, &attachments}) {
        for (const MCOAttachment& part : *list) {
            ids.append(part.uniqueID);
            QCOMPARE(parser.partForUniqueID(part.uniqueID)->data, part.data);
        }
    }
    ids.removeDuplicates();
    QCOMPARE(ids.size(), 5);
    QCOMPARE(parser.partForContentID(u"logo@x")->uniqueID, inlines[0].uniqueID);
    QVERIFY(!parser.partForContentID(u"missing@x"));
    QVERIFY(!parser.partForUniqueID(u"99"));
}

void TestMessageParser::alternativeShowsOnePart() {
    const QByteArray raw =
        crlfMessage("From: a@example.com\nContent-Type: multipart/alternative; boundary=b\n\n"
                    "--b\nContent-Type: text/plain\n\nplain\n"
                    "--b\nContent-Type: text/html\n\n<p>html</p>\n"
                    "--b--\n");
    MCOMessageParser parser(raw);
    QVERIFY(parser.attachments().isEmpty());
    QVERIFY(parser.htmlInlineAttachments().isEmpty());
}

void TestMessageParser::decodesAttachmentNames_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("expected");
    QTest::newRow("rfc2047 in a parameter")
        << QStringLiteral("rubymail-attachment_emails-attachment_with_base64_encoded_name.eml")
        << QStringLiteral("This is a test.pdf");
    QTest::newRow("raw 8-bit parameter")
        << QStringLiteral("rubymail-attachment_emails-attachment_nonascii_filename.eml")
        << QStringLiteral("ciële.txt");
}

void TestMessageParser::decodesAttachmentNames() {
    QFETCH(QString, file);
    QFETCH(QString, expected);
    MCOMessageParser parser(test::readDataFile(file));
    QCOMPARE(parser.attachments().size(), 1);
    QCOMPARE(parser.attachments().first().filename, expected);
}

void TestMessageParser::decodesTransferEncodings() {
    const QByteArray raw =
        crlfMessage("From: a@example.com\nContent-Type: multipart/mixed; boundary=b\n\n"
                    "--b\nContent-Type: text/plain\n\nsee attachments\n"
                    "--b\nContent-Type: application/octet-stream\n"
                    "Content-Disposition: attachment;\n filename*0*=utf-8''%C3%BCber%20;\n "
                    "filename*1=\"lang.txt\"\n"
                    "Content-Transfer-Encoding: quoted-printable\n\nA=3DB=\n C\n"
                    "--b\nContent-Type: application/octet-stream; name=\"cat.txt\"\n"
                    "Content-Transfer-Encoding: x-uuencode\n\n"
                    "begin 644 cat.txt\n#8V%T\n`\nend\n"
                    "--b--\n");
    MCOMessageParser parser(raw);
    QCOMPARE(parser.attachments().size(), 2);
    QCOMPARE(parser.attachments()[0].filename, QStringLiteral("über lang.txt"));
    QCOMPARE(parser.attachments()[0].data, QByteArray("A=B C"));
    QCOMPARE(parser.attachments()[1].data, QByteArray("cat"));

    MCOMessageParser utf8Headers(
        test::readDataFile(QStringLiteral("rubymail-rfc6532-utf8_headers.eml")));
    QCOMPARE(utf8Headers.header().from()->displayName, QStringLiteral("Jöhn Doe"));
}

void TestMessageParser::hostileInputNeitherCrashesNorHangs_data() {
    QTest::addColumn<QByteArray>("raw");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one newline") << QByteArray("\n");
    QTest::newRow("binary") << QByteArray("\x00\xff\xfe\x01\x02: \x00\r\r\n\n\x00", 13);
    QTest::newRow("header without colon") << QByteArray("garbage line\nmore\n\nbody");
    QTest::newRow("NUL in header name") << QByteArray("Subj\x00"
                                                      "ect: x\nFrom: a@b\n\nbody",
                                                      26);
    QTest::newRow("unterminated multipart") << crlfMessage(
        "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nx");

    // Ten thousand nested multiparts: the tree walk must stop, not overflow the stack.
    QByteArray deep("Content-Type: multipart/mixed; boundary=b0\n\n");
    for (int i = 1; i < 10000; ++i) {
        deep += "--b" + QByteArray::number(i - 1) + "\nContent-Type: multipart/mixed; boundary=b" +
                QByteArray::number(i) + "\n\n";
    }
    deep += "--b9999\nContent-Type: application/pdf; name=x.pdf\n\nx\n";
    QTest::newRow("deep nesting") << deep;

    QByteArray longHeader("Subject: ");
    longHeader += QByteArray(2 * 1024 * 1024, 'x');
    longHeader += "\n\nbody";
    QTest::newRow("2 MB header line") << longHeader;
}

void TestMessageParser::hostileInputNeitherCrashesNorHangs() {
    QFETCH(QByteArray, raw);
    MCOMessageParser parser(raw);
    QCOMPARE(parser.data(), raw);
    (void)parser.header().description();
    (void)parser.attachments();
    (void)parser.htmlInlineAttachments();
}

void TestMessageParser::partTree() {
    MCOMessageParser parser(crlfMessage(
        "From: \"Doe, Jane\" <jane@example.com>\nTo: Team: a@example.com, b@example.com;\n"
        "Subject: outer\nDate: Sat, 18 Jan 2014 08:16:20 +0100\n"
        "Content-Type: multipart/mixed; boundary=m\n\n"
        "--m\nContent-Type: text/plain; charset=\" ISO-8859-1 \"\n\ncaf\xe9\n"
        "--m\nContent-Type: APPLICATION/PDF; name=\"=?utf-8?q?r=C3=A9sum=C3=A9.pdf?=\"\n"
        "Content-Disposition: ATTACHMENT\nContent-ID: <doc@x>\n"
        "Content-Transfer-Encoding: base64\n\nJVBERg==\n"
        "--m\nContent-Type: message/rfc822\n\n"
        "From: inner@example.com\nSubject: inner\n\ninner body\n"
        "--m--\n"));
    // A repaired date does not reach the envelope, which shows the message as parsed.
    parser.header().setDate(std::nullopt);

    const MCOAbstractPart& root = parser.partTree();
    QCOMPARE(root.kind, MCOAbstractPart::Kind::Message);
    QVERIFY(root.envelope);
    QCOMPARE(root.envelope->subject, QStringLiteral("outer"));
    QCOMPARE(root.envelope->from, QStringLiteral("\"Doe, Jane\" <jane@example.com>"));
    QCOMPARE(root.envelope->to, QStringLiteral("Team: a@example.com, b@example.com;"));
    QVERIFY(root.envelope->cc.isEmpty());
    QCOMPARE(root.envelope->date,
             std::optional(QDateTime(QDate(2014, 1, 18), QTime(7, 16, 20), Qt::UTC)));
    QCOMPARE(root.children.size(), size_t(1));
    QCOMPARE(parser.mainPart(), &root.children.front());

    const MCOAbstractPart& mixed = *parser.mainPart();
    QCOMPARE(mixed.kind, MCOAbstractPart::Kind::Multipart);
    QCOMPARE(mixed.mimeType, QStringLiteral("multipart/mixed"));
    QCOMPARE(mixed.uniqueID, QString());
    QCOMPARE(mixed.children.size(), size_t(3));

    const MCOAbstractPart& text = mixed.children[0];
    QCOMPARE(text.kind, MCOAbstractPart::Kind::Single);
    QCOMPARE(text.uniqueID, QStringLiteral("1"));
    QCOMPARE(text.charset, QStringLiteral("ISO-8859-1"));
    QVERIFY(text.filename.isNull());
    QVERIFY(text.contentID.isNull());
    QCOMPARE(text.data, QByteArray("caf\xe9"));

    const MCOAbstractPart& pdf = mixed.children[1];
    QCOMPARE(pdf.uniqueID, QStringLiteral("2"));
    QCOMPARE(pdf.mimeType, QStringLiteral("application/pdf"));
    QCOMPARE(pdf.filename, QStringLiteral("résumé.pdf"));
    QCOMPARE(pdf.contentID, QStringLiteral("doc@x"));
    QVERIFY(pdf.attachmentDisposition);
    QVERIFY(!pdf.inlineDisposition);
    QCOMPARE(pdf.data, QByteArray("%PDF"));
    QCOMPARE(parser.partForUniqueID(u"2")->data, pdf.data);

    const MCOAbstractPart& embedded = mixed.children[2];
    QCOMPARE(embedded.kind, MCOAbstractPart::Kind::Message);
    QCOMPARE(embedded.uniqueID, QStringLiteral("3"));
    QVERIFY(embedded.envelope);
    QCOMPARE(embedded.envelope->subject, QStringLiteral("inner"));
    QCOMPARE(embedded.envelope->from, QStringLiteral("inner@example.com"));
    QVERIFY(!embedded.envelope->date);
    QCOMPARE(embedded.children.size(), size_t(1));
    QCOMPARE(embedded.children[0].uniqueID, QStringLiteral("3.1"));
    QCOMPARE(embedded.children[0].data, QByteArray("inner body"));

    // The leaves a reader shows or lists, with the IDs the parser's part lists use.
    const std::vector<MimeLeaf> leaves = collectMimeLeaves(root);
    QCOMPARE(leaves.size(), size_t(3));
    QCOMPARE(leaves[0].role, MimeLeaf::Role::Body);
    QCOMPARE(leaves[1].role, MimeLeaf::Role::Attachment);
    QCOMPARE(leaves[1].part.uniqueID, QStringLiteral("2"));
    QCOMPARE(leaves[2].role, MimeLeaf::Role::Body);
    QCOMPARE(leaves[2].part.uniqueID, QStringLiteral("3.1"));
}

void TestMessageParser::partTreeOfSinglePartAndEmptyMessage() {
    MCOMessageParser single(crlfMessage("Subject: one\nContent-Type: text/html\n\n<p>x</p>\n"));
    QVERIFY(single.mainPart());
    QCOMPARE(single.mainPart()->kind, MCOAbstractPart::Kind::Single);
    QCOMPARE(single.mainPart()->uniqueID, QStringLiteral("1"));
    QCOMPARE(single.mainPart()->mimeType, QStringLiteral("text/html"));

    MCOMessageParser named(crlfMessage("Content-Type: text/plain; name=\"\"\n\nx\n"));
    QVERIFY(!named.mainPart()->filename.isNull());
    QVERIFY(named.mainPart()->filename.isEmpty());

    MCOMessageParser empty(QByteArray{});
    QCOMPARE(empty.partTree().kind, MCOAbstractPart::Kind::Message);
    QVERIFY(empty.partTree().envelope);
    QVERIFY(empty.partTree().envelope->from.isEmpty());
}

void TestMessageParser::partTreeIsCutWhenTooDeep() {
    QByteArray raw = "From: a@example.com\n";
    const int levels = kMaxMimeDepth + 5;
    for (int i = 0; i < levels; ++i) {
        raw += "Content-Type: multipart/mixed; boundary=b" + QByteArray::number(i) + "\n\n--b" +
               QByteArray::number(i) + "\n";
    }
    raw += "Content-Type: text/plain\n\nleaf\n";
    for (int i = levels - 1; i >= 0; --i) {
        raw += "--b" + QByteArray::number(i) + "--\n";
    }
    MCOMessageParser parser(crlfMessage(raw));
    const MCOAbstractPart* part = parser.mainPart();
    int depth = 0;
    while (part && !part->children.empty()) {
        part = &part->children.front();
        ++depth;
    }
    // The first level below the cut is kept, as a part without parts of its own.
    QCOMPARE(depth, kMaxMimeDepth + 1);
    QCOMPARE(part->kind, MCOAbstractPart::Kind::Multipart);
    QVERIFY(collectMimeLeaves(parser.partTree()).empty());
}

void TestMessageParser::relatedRootAndAlternatives() {
    MCOMessageParser parser(
        crlfMessage("Content-Type: multipart/alternative; boundary=a\n\n"
                    "--a\nContent-Type: text/plain\n\nplain\n"
                    "--a\nContent-Type: multipart/related; boundary=r; start=\"<two@x>\"\n\n"
                    "--r\nContent-Type: image/png\nContent-ID: <one@x>\n\nPNG\n"
                    "--r\nContent-Type: text/html\nContent-ID: <two@x>\n\n<img src=\"cid:one@x\">\n"
                    "--r--\n"
                    "--a\nContent-Type: application/x-unknown\n\n?\n"
                    "--a--\n"));
    const MCOAbstractPart& alternative = *parser.mainPart();
    const MCOAbstractPart* chosen = chooseAlternative(alternative);
    QVERIFY(chosen);
    QCOMPARE(chosen->uniqueID, QStringLiteral("2"));
    QCOMPARE(chosen->start, std::optional(QStringLiteral("two@x")));
    const MCOAbstractPart* root = relatedRoot(*chosen);
    QVERIFY(root);
    QCOMPARE(root->uniqueID, QStringLiteral("2.2"));
    QCOMPARE(parser.htmlInlineAttachments().size(), 1);
    QCOMPARE(parser.htmlInlineAttachments().first().uniqueID, QStringLiteral("2.1"));
}

void TestMessageParser::uudecodesBlocks() {
    QCOMPARE(uudecode("#8V%T\n`\n"), QByteArray("cat"));
    QCOMPARE(uudecode(",:&5L;&\\@=V]R;&0*\n`\n"), QByteArray("hello world\n"));
    QCOMPARE(uudecode(""), QByteArray());
}

void TestMessageParser::enrichedText() {
    QCOMPARE(enrichedTextToHtml(QStringLiteral("<bold>Hi</bold> & co")),
             QStringLiteral("<b>Hi</b> &amp; co"));
}

QTEST_GUILESS_MAIN(TestMessageParser)
#include "tst_messageparser.moc"
