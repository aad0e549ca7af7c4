#include "app/cli/pathscommand.h"
#include "app/launchmode.h"
#include "platform/prefs/preferencestore.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

struct Run {
    int status = 0;
    QStringList out;
    QStringList err;
};

void writeFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qFatal("cannot write %s", qPrintable(path));
    }
    file.write(data);
}

} // namespace

class TestPathsCommand : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void printsEveryKindOfPath();
    void optionsFileAndDisabledKinds();
    void unreadableFilesAndUsage();
    void wholeCorpusStaysInside();
    void launchMode();

private:
    Run run(const QStringList& arguments);
    QString dest() const { return m_dir.filePath(QStringLiteral("dest")); }

    QTemporaryDir m_dir;
    std::unique_ptr<PreferenceStore> m_store;
};

void TestPathsCommand::init() {
    m_store = std::make_unique<PreferenceStore>(m_dir.filePath(QStringLiteral("prefs.conf")));
    m_store->removeAll();
    m_store->registerStandardDefaults();
    m_store->setDestinationFolder(dest());
}

Run TestPathsCommand::run(const QStringList& arguments) {
    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    Run result;
    result.status = runPathsCommand(arguments, *m_store, outStream, errStream);
    outStream.flush();
    errStream.flush();
    result.out = out.split(u'\n', Qt::SkipEmptyParts);
    result.err = err.split(u'\n', Qt::SkipEmptyParts);
    return result;
}

void TestPathsCommand::printsEveryKindOfPath() {
    const QString message = m_dir.filePath(QStringLiteral("m.eml"));
    writeFile(message, test::crlfMessage(
                           "From: John Smith <john@example.com>\nTo: jane@example.com\n"
                           "Date: Sat, 18 Jan 2014 08:16:20 +0000\nSubject: Typical Email Subject\n"
                           "Content-Type: multipart/mixed; boundary=b\n\n"
                           "--b\nContent-Type: text/plain\n\nbody\n"
                           "--b\nContent-Type: image/png; name=\"logo.png\"\n\nPNG\n"
                           "--b\nContent-Type: application/pdf; "
                           "name=\"r.pdf\"\nContent-Disposition: attachment\n\nA\n"
                           "--b\nContent-Type: application/pdf; "
                           "name=\"r.pdf\"\nContent-Disposition: attachment\n\nB\n"
                           "--b\nContent-Type: application/zip; name=\"tab\tname.zip\"\n\nZ\n"
                           "--b--\n"));
    const Run result = run({message});
    QCOMPARE(result.status, 0);
    QVERIFY(result.err.isEmpty());
    const QString folder =
        dest() + QStringLiteral("/2014/01/2014-01-18 08.16.20Z  Typical Email Subject");
    QCOMPARE(result.out, (QStringList{
                             QStringLiteral("pdf\t") + folder + QStringLiteral(".pdf"),
                             QStringLiteral("eml\t-"),
                             QStringLiteral("attachment\tlogo.png\t") + folder +
                                 QStringLiteral(" (attachments)/logo.png"),
                             QStringLiteral("attachment\tr.pdf\t") + folder +
                                 QStringLiteral(" (attachments)/r.pdf"),
                             QStringLiteral("attachment\tr 2.pdf\t") + folder +
                                 QStringLiteral(" (attachments)/r 2.pdf"),
                             QStringLiteral("attachment\ttab\\tname.zip\t") + folder +
                                 QStringLiteral(" (attachments)/tab\\tname.zip"),
                         }));
    // A preview creates nothing.
    QVERIFY(!QFileInfo::exists(dest()));
}

void TestPathsCommand::optionsFileAndDisabledKinds() {
    const QString message = m_dir.filePath(QStringLiteral("m.eml"));
    writeFile(message,
              test::crlfMessage("From: a@example.com\nDate: Sat, 18 Jan 2014 08:16:20 +0000\n"
                                "Subject: S\n\nbody\n"));
    const QString options = m_dir.filePath(QStringLiteral("options.json"));
    writeFile(options, R"({"pdf_format": "none", "eml_format": "%Y/__subject__.eml",
                          "main_folder": "Work", "mail_folder": "INBOX",
                          "dest_folder_override": ")" +
                           m_dir.filePath(QStringLiteral("picked")).toUtf8() + R"("})");
    Run result = run({QStringLiteral("--options"), options, message});
    QCOMPARE(result.status, 0);
    QCOMPARE(result.out,
             (QStringList{QStringLiteral("pdf\t-"),
                          QStringLiteral("eml\t") +
                              m_dir.filePath(QStringLiteral("picked/Work/INBOX/2014/S.eml"))}));

    // Keys the file lacks come from the stored general formats.
    m_store->setValue(QStringLiteral("Generalpdf"), QStringLiteral("stored/__subject__.pdf"));
    writeFile(options, "{}");
    result = run({QStringLiteral("--options=") + options, message});
    QCOMPARE(result.out.first(),
             QStringLiteral("pdf\t") + dest() + QStringLiteral("/stored/S.pdf"));

    writeFile(options, "[1, 2]");
    result = run({QStringLiteral("--options"), options, message});
    QCOMPARE(result.status, 1);
    QVERIFY(result.out.isEmpty());
    QVERIFY(result.err.first().contains(QStringLiteral("not a JSON object")));
}

void TestPathsCommand::unreadableFilesAndUsage() {
    const QString good = m_dir.filePath(QStringLiteral("good.eml"));
    writeFile(good, "Subject: fine\n\nbody\n");
    const QString missing = m_dir.filePath(QStringLiteral("missing.eml"));
    const Run result = run({missing, m_dir.path(), good});
    QCOMPARE(result.status, 1);
    QCOMPARE(result.err.size(), 2);
    QVERIFY(result.err[0].startsWith(QStringLiteral("error\t") + missing + u'\t'));
    QVERIFY(result.err[1].startsWith(QStringLiteral("error\t") + m_dir.path() + u'\t'));
    // The readable message is still handled.
    QCOMPARE(result.out.size(), 2);
    QVERIFY(result.out[0].endsWith(QStringLiteral("fine.pdf")));

    QCOMPARE(run({}).status, 1);
    QCOMPARE(run({QStringLiteral("--bogus"), good}).status, 1);
    QCOMPARE(run({QStringLiteral("--options")}).status, 1);
}

void TestPathsCommand::wholeCorpusStaysInside() {
    const QStringList files = test::sharedCorpusFiles();
    if (files.isEmpty()) {
        QSKIP("the shared corpus is not beside the repository");
    }
    const QString options = m_dir.filePath(QStringLiteral("options.json"));
    writeFile(options, R"({"eml_format": "%Y/%m/__subject__ __emailFrom__.eml",
                          "main_folder": "Work", "mail_folder": "INBOX/Sub"})");
    const Run result = run(QStringList{QStringLiteral("--options"), options} + files);
    QCOMPARE(result.status, 0);
    QVERIFY(result.err.isEmpty());
    int pdfs = 0;
    int attachments = 0;
    for (const QString& line : result.out) {
        const QStringList fields = line.split(u'\t');
        QVERIFY2(fields.size() == (fields.first() == u"attachment" ? 3 : 2), qPrintable(line));
        pdfs += fields.first() == u"pdf" ? 1 : 0;
        attachments += fields.first() == u"attachment" ? 1 : 0;
        const QString path = fields.last();
        QVERIFY2(path.startsWith(dest() + QStringLiteral("/Work/INBOX/Sub/")), qPrintable(line));
        for (const QString& component : path.mid(dest().size() + 1).split(u'/')) {
            QVERIFY2(!component.isEmpty() && component != u".." && component != u".",
                     qPrintable(line));
            QVERIFY2(component.toUtf8().size() <= 255, qPrintable(line));
        }
    }
    QCOMPARE(pdfs, files.size());
    qInfo("%d messages, %d attachment paths, all inside the destination", pdfs, attachments);
    QVERIFY(!QFileInfo::exists(dest()));
}

void TestPathsCommand::launchMode() {
    QVERIFY(!LaunchMode::fromArguments({QStringLiteral("tessaly")}).renderBox);
    const LaunchMode box =
        LaunchMode::fromArguments({QStringLiteral("tessaly"), QStringLiteral("--jsonArgs"),
                                   QStringLiteral(R"({"renderboxID":"7"})")});
    QVERIFY(box.renderBox);
    QCOMPARE(box.renderBoxOptions.value(QStringLiteral("renderboxID")).toString(),
             QStringLiteral("7"));
    const LaunchMode broken = LaunchMode::fromArguments(
        {QStringLiteral("tessaly"), QStringLiteral("--jsonArgs"), QStringLiteral("{not json")});
    QVERIFY(broken.renderBox);
    QVERIFY(broken.renderBoxOptions.isEmpty());
}

QTEST_GUILESS_MAIN(TestPathsCommand)
#include "tst_pathscommand.moc"
