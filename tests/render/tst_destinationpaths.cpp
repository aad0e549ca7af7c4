#include "platform/mail/mcomessageparser.h"
#include "render/attachmentnames.h"
#include "render/destinationpaths.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

QByteArray sampleMessage(const QByteArray& subject = "Typical Email Subject",
                         const QByteArray& to = "To: Jane Doe <jane@example.com>\n") {
    return test::crlfMessage("From: John Smith <john@example.com>\n" + to +
                             "Date: Sat, 18 Jan 2014 08:16:20 +0000\nSubject: " + subject +
                             "\n\nbody\n");
}

JobOptions optionsFor(const QString& dest) {
    JobOptions options;
    options.destFolder = dest;
    options.pdfFormat = QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__.pdf");
    options.attachmentFormat =
        QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__ (attachments)/__filename__");
    options.emlFormat = QStringLiteral("none");
    return options;
}

QString relativeTo(const QString& dest, const QString& path) {
    return QDir(dest).relativeFilePath(path);
}

} // namespace

class TestDestinationPaths : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(m_dir.isValid()); }
    void sampleMessagePath();
    void folderRules_data();
    void folderRules();
    void namesFromTheMessage();
    void disabledFormatAndFolderCreation();
    void hostileNamesStayInside_data();
    void hostileNamesStayInside();
    void attachmentFileNames();
    void duplicateNumbers();
    void writeProbe();
    void numberedNames();

private:
    QTemporaryDir m_dir;
};

void TestDestinationPaths::sampleMessagePath() {
    MCOMessageParser message(sampleMessage());
    const QString dest = m_dir.path();
    const QString path =
        DestinationPaths::destinationPath(message, QStringLiteral("Work"), QStringLiteral("INBOX"),
                                          FormatKey::Pdf, QString(), optionsFor(dest));
    QCOMPARE(relativeTo(dest, path),
             QStringLiteral("Work/INBOX/2014/01/2014-01-18 08.16.20Z  Typical Email Subject.pdf"));
    QVERIFY(QFileInfo(QFileInfo(path).path()).isDir());
    QVERIFY(!QFileInfo::exists(path));

    const QString attachment = DestinationPaths::destinationPath(
        message, QStringLiteral("Work"), QStringLiteral("INBOX"), FormatKey::Attachment,
        QStringLiteral("My Great Word Doc.docx"), optionsFor(dest));
    QCOMPARE(relativeTo(dest, attachment),
             QStringLiteral("Work/INBOX/2014/01/2014-01-18 08.16.20Z  Typical Email Subject "
                            "(attachments)/My Great Word Doc.docx"));
}

void TestDestinationPaths::folderRules_data() {
    QTest::addColumn<QString>("destLeaf");
    QTest::addColumn<QString>("mainFolder");
    QTest::addColumn<QString>("mailFolder");
    QTest::addColumn<QString>("expectedPrefix");
    QTest::newRow("account named like its folder")
        << QString() << QStringLiteral("INBOX") << QStringLiteral("INBOX")
        << QStringLiteral("INBOX/2014");
    QTest::newRow("slash in main folder")
        << QString() << QStringLiteral("a/b") << QString() << QStringLiteral("a b/2014");
    QTest::newRow("imap hierarchy") << QString() << QStringLiteral("Work") << QStringLiteral("A/B")
                                    << QStringLiteral("Work/A/B/2014");
    QTest::newRow("destination ends in the first folder")
        << QStringLiteral("Archive") << QStringLiteral("Archive") << QString()
        << QStringLiteral("2014");
    QTest::newRow("no folders") << QString() << QString() << QString() << QStringLiteral("2014");
}

void TestDestinationPaths::folderRules() {
    QFETCH(QString, destLeaf);
    QFETCH(QString, mainFolder);
    QFETCH(QString, mailFolder);
    QFETCH(QString, expectedPrefix);
    const QString dest = destLeaf.isEmpty() ? m_dir.path() : m_dir.filePath(destLeaf);
    MCOMessageParser message(sampleMessage());
    const QString path = DestinationPaths::computeDestinationPath(
        message, mainFolder, mailFolder, FormatKey::Pdf, QString(), optionsFor(dest));
    // Relative to the temporary folder, so a doubled "Archive" would show.
    const QString relative = relativeTo(m_dir.path(), path);
    const QString expected = (destLeaf.isEmpty() ? QString() : destLeaf + u'/') + expectedPrefix;
    QVERIFY2(relative.startsWith(expected + u'/'), qPrintable(relative));
}

void TestDestinationPaths::namesFromTheMessage() {
    JobOptions options = optionsFor(m_dir.path());
    options.pdfFormat =
        QStringLiteral("__fromLast__ to __toLast__ <__emailFrom__> __emailTo__.pdf");
    options.windowsFilenames = false;

    MCOMessageParser named(sampleMessage());
    QCOMPARE(QFileInfo(DestinationPaths::computeDestinationPath(named, {}, {}, FormatKey::Pdf, {},
                                                                options))
                 .fileName(),
             QStringLiteral("Smith to Doe <john@example.com> jane@example.com.pdf"));

    MCOMessageParser noRecipients(sampleMessage("x", ""));
    QCOMPARE(QFileInfo(DestinationPaths::computeDestinationPath(noRecipients, {}, {},
                                                                FormatKey::Pdf, {}, options))
                 .fileName(),
             QStringLiteral("Smith to na <john@example.com> toEmailNA.pdf"));

    // Windows-safe names are the default when the option is absent.
    options.windowsFilenames.reset();
    options.pdfFormat = QStringLiteral("__subject__.pdf");
    MCOMessageParser question(sampleMessage("?<word>"));
    QCOMPARE(QFileInfo(DestinationPaths::computeDestinationPath(question, {}, {}, FormatKey::Pdf,
                                                                {}, options))
                 .fileName(),
             QStringLiteral("-word-.pdf"));

    QCOMPARE(DestinationPaths::stripFirstName(QStringLiteral("John Smith")),
             QStringLiteral("Smith"));
    QCOMPARE(DestinationPaths::stripFirstName(QStringLiteral("John Q Smith")),
             QStringLiteral("Smith"));
    QCOMPARE(DestinationPaths::stripFirstName(QStringLiteral("A B C D")),
             QStringLiteral("A B C D"));
    QCOMPARE(DestinationPaths::stripFirstName(QStringLiteral("Cher")), QStringLiteral("Cher"));
}

void TestDestinationPaths::disabledFormatAndFolderCreation() {
    MCOMessageParser message(sampleMessage());
    JobOptions options = optionsFor(m_dir.path());
    options.pdfFormat = QStringLiteral("none");
    QVERIFY(
        DestinationPaths::destinationPath(message, {}, {}, FormatKey::Pdf, {}, options).isNull());
    QVERIFY(
        DestinationPaths::destinationPath(message, {}, {}, FormatKey::Eml, {}, options).isNull());

    // The override wins over the general destination.
    options = optionsFor(m_dir.filePath(QStringLiteral("general")));
    options.destFolderOverride = m_dir.filePath(QStringLiteral("picked"));
    const QString path =
        DestinationPaths::computeDestinationPath(message, {}, {}, FormatKey::Pdf, {}, options);
    QVERIFY(path.startsWith(m_dir.filePath(QStringLiteral("picked/"))));
    QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("picked")))); // nothing created

    const QString folder = DestinationPaths::destinationFolder(m_dir.path(), QStringLiteral("Work"),
                                                               QStringLiteral("INBOX/Sub"));
    QCOMPARE(folder, m_dir.filePath(QStringLiteral("Work/INBOX/Sub")));
    QVERIFY(QFileInfo(folder).isDir());
}

void TestDestinationPaths::hostileNamesStayInside_data() {
    QTest::addColumn<QString>("mainFolder");
    QTest::addColumn<QString>("mailFolder");
    QTest::addColumn<QByteArray>("subject");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("format");
    QTest::newRow("dot-dot mail folder")
        << QString() << QStringLiteral("../../x") << QByteArray("s") << QString() << QString();
    QTest::newRow("absolute mail folder")
        << QString() << QStringLiteral("/etc/x") << QByteArray("s") << QString() << QString();
    QTest::newRow("dot-dot main folder") << QStringLiteral("..") << QStringLiteral("..")
                                         << QByteArray("s") << QString() << QString();
    QTest::newRow("dot-dot subject") << QString() << QString() << QByteArray("..") << QString()
                                     << QStringLiteral("__subject__/x.pdf");
    QTest::newRow("dot-dot attachment") << QString() << QString() << QByteArray("s")
                                        << QStringLiteral("..") << QStringLiteral("__filename__");
    QTest::newRow("slashes in attachment")
        << QString() << QString() << QByteArray("s") << QStringLiteral("../../etc/passwd")
        << QStringLiteral("a/__filename__");
    QTest::newRow("NUL in attachment")
        << QString() << QString() << QByteArray("s")
        << QStringLiteral("a") + QChar(u'\0') + QStringLiteral("/../b")
        << QStringLiteral("x/__filename__");
    QTest::newRow("format climbs") << QString() << QString() << QByteArray("s") << QString()
                                   << QStringLiteral("../../../%Y/../__subject__.pdf");
    QTest::newRow("format is only slashes")
        << QString() << QString() << QByteArray("s") << QString() << QStringLiteral("/////");
    QTest::newRow("long non-Latin subject")
        << QString() << QString() << QByteArray("\xe6\xbc\xa2").repeated(120) << QString()
        << QString();
}

void TestDestinationPaths::hostileNamesStayInside() {
    QFETCH(QString, mainFolder);
    QFETCH(QString, mailFolder);
    QFETCH(QByteArray, subject);
    QFETCH(QString, fileName);
    QFETCH(QString, format);
    QTemporaryDir root;
    const QString dest = root.filePath(QStringLiteral("dest"));
    JobOptions options = optionsFor(dest);
    if (!format.isEmpty()) {
        options.pdfFormat = format;
    }
    MCOMessageParser message(sampleMessage(subject));
    const QString path = DestinationPaths::destinationPath(message, mainFolder, mailFolder,
                                                           FormatKey::Pdf, fileName, options);
    QVERIFY(!path.isEmpty());
    QCOMPARE(QDir::cleanPath(path), path);
    QVERIFY2(path.startsWith(dest + u'/'), qPrintable(path));
    for (const QString& component : path.mid(dest.size() + 1).split(u'/')) {
        QVERIFY(!component.isEmpty());
        QVERIFY(component != u"." && component != u"..");
        QVERIFY(!component.contains(QChar(u'\0')));
        QVERIFY2(component.toUtf8().size() <= 255, qPrintable(component));
    }
    // Nothing was created outside the destination.
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("dest")});
}

void TestDestinationPaths::attachmentFileNames() {
    MCOAttachment part;
    part.data = QByteArray(1234, 'x');
    QCOMPARE(DestinationPaths::justFileName(part), QStringLiteral("noname 1234"));
    part.filename = QStringLiteral("dir/sub/report.pdf");
    QCOMPARE(DestinationPaths::justFileName(part), QStringLiteral("report.pdf"));
    part.filename = QStringLiteral("..");
    QCOMPARE(DestinationPaths::justFileName(part), QStringLiteral("noname 1234"));
    // A name mostly outside ASCII is cut at an embedded NUL; elsewhere the NUL alone goes.
    part.filename =
        QStringLiteral("\u65e5\u672c\u8a9e") + QChar(u'\0') + QStringLiteral("junk.exe");
    QCOMPARE(DestinationPaths::justFileName(part), QStringLiteral("\u65e5\u672c\u8a9e"));
    part.filename = QStringLiteral("plain") + QChar(u'\0') + QStringLiteral(".txt");
    QCOMPARE(DestinationPaths::justFileName(part), QStringLiteral("plain.txt"));
}

void TestDestinationPaths::duplicateNumbers() {
    QList<MCOAttachment> parts(5);
    parts[0].filename = QStringLiteral("report.pdf");
    parts[1].filename = QStringLiteral("report.pdf");
    parts[2].filename = QStringLiteral("other.doc");
    parts[3].filename = QStringLiteral("report.pdf");
    parts[4].filename = QStringLiteral("README");
    const QStringList numbers = AttachmentNames::duplicateNumbers(parts);
    QCOMPARE(numbers, (QStringList{QString(), QStringLiteral("2"), QString(), QStringLiteral("3"),
                                   QString()}));
    QCOMPARE(AttachmentNames::numberedName(QStringLiteral("report.pdf"), QStringLiteral("2")),
             QStringLiteral("report 2.pdf"));
    QCOMPARE(AttachmentNames::numberedName(QStringLiteral("README"), QStringLiteral("2")),
             QStringLiteral("README 2."));
    QCOMPARE(AttachmentNames::numberedName(QStringLiteral("a.tar.gz"), QString()),
             QStringLiteral("a.tar.gz"));
}

void TestDestinationPaths::writeProbe() {
    int alerts = 0;
    DestinationPaths::setUnwritablePathAlert([&](const QString&, const QString&) { ++alerts; });
    const QString good = m_dir.filePath(QStringLiteral("probe.pdf"));
    DestinationPaths::testDestinationFilePath(good);
    QVERIFY(!QFileInfo::exists(good));

    const QString bad = m_dir.filePath(QStringLiteral("missing/probe.pdf"));
    for (int i = 1; i <= 7; ++i) {
        bool thrown = false;
        try {
            DestinationPaths::testDestinationFilePath(bad);
        } catch (const UnwritablePathError& error) {
            thrown = true;
            QCOMPARE(error.path(), bad);
            QVERIFY(!error.error().isEmpty());
        }
        QVERIFY(thrown);
    }
    QCOMPARE(alerts, 1); // the fifth failure only
    DestinationPaths::setUnwritablePathAlert({});
}

void TestDestinationPaths::numberedNames() {
    using DP = DestinationPaths;
    QCOMPARE(DP::numberedFile("/a/2014/x.y  Report.pdf", 2), QString("/a/2014/x.y  Report 2.pdf"));
    QCOMPARE(DP::numberedFile("/a/2014/x.pdf", 1), QString("/a/2014/x.pdf"));
    QCOMPARE(DP::numberedFile("/a/1970/.pdf", 3), QString("/a/1970/ 3.pdf"));
    QCOMPARE(DP::numberedFile("/a/noext", 2), QString("/a/noext 2"));
    QCOMPARE(DP::numberedFolder("/a/x.y (attachments)", 2), QString("/a/x.y (attachments) 2"));
    // A name at the file system's limit stays within it, cut between whole characters.
    const QString longName = QString(126, QChar(0x00E9)) + "x.pdf"; // 257 bytes
    const QString numbered = DP::numberedFile("/a/" + longName, 12);
    const QString name = numbered.mid(3);
    QVERIFY(name.toUtf8().size() <= 255);
    QVERIFY(name.endsWith(" 12.pdf"));
    QCOMPARE(QString::fromUtf8(name.toUtf8()), name);
    // Attachments in a folder of their own take the number with it; beside the PDF they
    // are numbered by name already.
    QCOMPARE(DP::numberedAttachmentPath("/a/2014/R (attachments)/f.txt", "/a/2014/R.pdf", 2),
             QString("/a/2014/R (attachments) 2/f.txt"));
    QCOMPARE(DP::numberedAttachmentPath("/a/2014/f.txt", "/a/2014/R.pdf", 2),
             QString("/a/2014/f.txt"));
}

QTEST_GUILESS_MAIN(TestDestinationPaths)
#include "tst_destinationpaths.moc"
