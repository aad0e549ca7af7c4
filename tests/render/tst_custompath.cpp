#include "platform/prefs/preferencestore.h"
#include "render/custompath.h"

#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {
const QString kSubject = QStringLiteral("Typical Email Subject");
const QString kEllipsis = QString(QChar(0x2026));

QString expand(const QString& format, const QString& subject = kSubject,
               const QString& filename = QStringLiteral("My Great Word Doc.docx")) {
    const QDateTime sample = QDateTime::fromSecsSinceEpoch(1390032980, Qt::UTC);
    return CustomPath::substituteFormat(format, sample, subject, QStringLiteral("Smith"),
                                        QStringLiteral("Doe"), QStringLiteral("s@example.com"),
                                        QStringLiteral("d@example.com"), filename);
}
} // namespace

class TestCustomPath : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void expansion_data();
    void expansion();
    void examplesMapBackToFormats();
    void effectiveFormatInheritance();
    void cleaningParts_data();
    void cleaningParts();
    void longComponents();
    void longExpansionStaysAPath();
};

void TestCustomPath::expansion_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("expected");
    QTest::newRow("default pdf") << CustomPath::defaultFormat(QStringLiteral("pdf")) << kSubject
                                 << QStringLiteral(
                                        "2014/01/2014-01-18 08.16.20Z  Typical Email Subject.pdf");
    QTest::newRow("minus four hours")
        << QStringLiteral("-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__.pdf") << kSubject
        << QStringLiteral("2014/2014-01-18 04.16.20  Typical Email Subject.pdf");
    QTest::newRow("fractional offset") << QStringLiteral("+5.5TZ__%H.%M __subject__") << kSubject
                                       << QStringLiteral("13.46 Typical Email Subject");
    QTest::newRow("not a number reads as zero")
        << QStringLiteral("abcTZ__%H.%M __subject__") << kSubject
        << QStringLiteral("08.16 Typical Email Subject");
    // Runs with TZ=UTC, so local time is UTC here; the subject goes in before the leftover
    // underscores complete the toLast placeholder.
    QTest::newRow("local with names")
        << QStringLiteral("localTZ__%Y-%m-%d_%H%M%S __fromLast__-__toLast_____subject__.pdf")
        << kSubject << QStringLiteral("2014-01-18_081620 Smith-Doe_Typical Email Subject.pdf");
    QTest::newRow("default attachment")
        << CustomPath::defaultFormat(QStringLiteral("attachment")) << kSubject
        << QStringLiteral("2014/01/2014-01-18 08.16.20Z  Typical Email Subject (attachments)/My "
                          "Great Word Doc.docx");
    QTest::newRow("subject is never a date format")
        << QStringLiteral("%Y __subject__.pdf") << QStringLiteral("report %Y")
        << QStringLiteral("2014 report %Y.pdf");
    QTest::newRow("slash in subject stays one level")
        << QStringLiteral("%Y/__subject__.pdf") << QStringLiteral("A/B test")
        << QStringLiteral("2014/A B test.pdf");
    QTest::newRow("dots only") << QStringLiteral("%Y/__subject__.pdf") << QStringLiteral("....")
                               << QStringLiteral("2014/.pdf");
    QTest::newRow("tabs and breaks")
        << QStringLiteral("__subject__") << QStringLiteral("a\t b \tc\r\n\td")
        << QStringLiteral("a b c d");
}

void TestCustomPath::expansion() {
    QFETCH(QString, format);
    QFETCH(QString, subject);
    QFETCH(QString, expected);
    QCOMPARE(expand(format, subject), expected);
}

void TestCustomPath::examplesMapBackToFormats() {
    const QStringList formats = CustomPath::pdfFormats();
    const QStringList examples = CustomPath::pdfExamples();
    QCOMPARE(formats.size(), 4);
    QCOMPARE(examples.size(), formats.size());
    QCOMPARE(formats.first(), CustomPath::defaultFormat(QStringLiteral("pdf")));
    for (qsizetype i = 0; i < formats.size(); ++i) {
        QCOMPARE(CustomPath::exampleToFormatString(examples[i]), formats[i]);
    }
    QCOMPARE(CustomPath::attachmentFormats().size(), 5);
    QCOMPARE(CustomPath::emlFormats().size(), 5);
    QCOMPARE(CustomPath::exampleToFormatString(QStringLiteral("no such example")), QString());
    QCOMPARE(CustomPath::getExample(CustomPath::pdfFormats().first()),
             QStringLiteral("2014/01/2014-01-18 08.16.20Z  Typical Email Subject.pdf"));
}

void TestCustomPath::effectiveFormatInheritance() {
    QTemporaryDir dir;
    PreferenceStore store(dir.filePath(QStringLiteral("p.conf")));
    const QString account = QStringLiteral("ann@example.com");
    const QString pdf = QStringLiteral("pdf");

    QCOMPARE(CustomPath::getFormat(store, QString(), account), QStringLiteral("n/a"));
    QCOMPARE(CustomPath::getPathFormat(store, account), CustomPath::defaultFormat(pdf));
    QCOMPARE(CustomPath::getEMLFormat(store, account), QString());

    const QString general = QStringLiteral("%Y/__subject__.pdf");
    CustomPath::setFormat(store, pdf, QString(), general);
    QCOMPARE(store.stringValue(QStringLiteral("Generalpdf")), general);
    QCOMPARE(CustomPath::getPathFormat(store, account), general);

    // Setting the inherited value stores nothing, so the account keeps following General.
    CustomPath::setFormat(store, pdf, account, general);
    QVERIFY(!store.isStored(account + pdf));
    CustomPath::setFormat(store, pdf, account, QStringLiteral("none"));
    QCOMPARE(CustomPath::getPathFormat(store, account), QStringLiteral("none"));
    CustomPath::clearFormat(store, pdf, account);
    QCOMPARE(CustomPath::getPathFormat(store, account), general);
}

void TestCustomPath::cleaningParts_data() {
    QTest::addColumn<QString>("part");
    QTest::addColumn<bool>("removeSlash");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QString() << true << QString();
    QTest::newRow("colon and slash")
        << QStringLiteral("Re: a/b") << true << QStringLiteral("Re  a b");
    QTest::newRow("slash kept") << QStringLiteral("INBOX/Sub") << false
                                << QStringLiteral("INBOX/Sub");
    QTest::newRow("trim then dots")
        << QStringLiteral("  ..hidden.  ") << true << QStringLiteral("hidden");
    QTest::newRow("backslash and breaks")
        << QStringLiteral("a\\b\nc") << true << QStringLiteral("a b c");
    QTest::newRow("decomposed") << QStringLiteral("é") << true << QStringLiteral("e\u0301");
    QTest::newRow("lone surrogate")
        << QString(QChar(0xD800)) << true << QStringLiteral("..not found..");
}

void TestCustomPath::cleaningParts() {
    QFETCH(QString, part);
    QFETCH(bool, removeSlash);
    QFETCH(QString, expected);
    QCOMPARE(CustomPath::sanitizePathComponentPart(part, removeSlash), expected);
}

void TestCustomPath::longComponents() {
    const QString subject = QString(125, u'a') + QString(125, u'b');
    const QString path = expand(QStringLiteral("%Y/__subject__"), subject);
    const QString component = path.section(u'/', 1);
    QCOMPARE(component.size(), 201);
    QCOMPARE(component, QString(100, u'a') + kEllipsis + QString(100, u'b'));

    QCOMPARE(CustomPath::ensurePathComponentsAreNotTooLong(QString(202, u'x')), QString(202, u'x'));

    // 150 CJK characters are under 203 units but 450 bytes: shortened to fit 255 bytes, the
    // end (and the extension) kept.
    const QString cjk = QString(150, QChar(0x6F22)) + QStringLiteral(".pdf");
    const QString fitted = CustomPath::ensurePathComponentsAreNotTooLong(cjk);
    QVERIFY(fitted.toUtf8().size() <= 255);
    QVERIFY(fitted.toUtf8().size() >= 250);
    QVERIFY(fitted.contains(kEllipsis));
    QVERIFY(fitted.endsWith(QStringLiteral(".pdf")));

    // Emoji are surrogate pairs; no cut may split one.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80").repeated(150);
    const QString cut = CustomPath::ensurePathComponentsAreNotTooLong(emoji);
    QVERIFY(cut.toUtf8().size() <= 255);
    QCOMPARE(QString::fromUtf8(cut.toUtf8()), cut);
}

void TestCustomPath::longExpansionStaysAPath() {
    // Over 500 bytes of expansion: kept whole, then cut per component, so the name and its
    // extension survive.
    const QString format =
        QString(40, u'x') + QStringLiteral("%Y").repeated(200) + QStringLiteral("/__subject__.pdf");
    const QString path = expand(format);
    const QStringList components = path.split(u'/');
    QCOMPARE(components.size(), 2);
    QVERIFY(components[0].toUtf8().size() <= 255);
    QVERIFY(components[0].startsWith(QString(40, u'x') + QStringLiteral("2014")));
    QCOMPARE(components[1], QStringLiteral("Typical Email Subject.pdf"));
}

QTEST_GUILESS_MAIN(TestCustomPath)
#include "tst_custompath.moc"
