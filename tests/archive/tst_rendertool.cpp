#include "archive/job/rendertool.h"
#include "fakewebview.h"
#include "render/localrenderengine.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

QByteArray message(int n) {
    return test::crlfMessage("From: a@example.com\nTo: b@example.com\nSubject: message " +
                             QByteArray::number(n) +
                             "\nDate: Sat, 18 Jan 2014 08:16:" + QByteArray::number(10 + n) +
                             " +0000\n\nbody of message " + QByteArray::number(n) + "\n");
}

} // namespace

class TestRenderTool : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { m_pdf = test::makePdf(); }
    void init();
    void cleanup() { m_views.clear(); }
    void listsAndFolders();
    void jobRunsToDone();
    void failuresAreRetriedOnceThenReported();
    void aRetryThatWorksLeavesNoCopyOfTheFirstTry();
    void emptyJobIsDoneAtOnce();
    void errorReportKeepsEarlierOnesAndNeverFollowsALink();
    void messagesSharingANameAreAllArchived();
    void twoRunsAtOnceArchiveEachMessageOnce();
    void unwritableDestinationEndsTheJobAtOnce();

private:
    std::unique_ptr<RenderTool> job(const QStringList& paths, bool printsWork,
                                    const QString& dest = {});
    void writeTwins(const QString& folder);
    QStringList pdfsUnder(const QString& folder) const;
    JobFigures run(RenderTool& tool);

    QByteArray m_pdf;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<test::FakeWebView>> m_views;
    QElapsedTimer m_clock;
    int m_prints = 0;
    int m_maxEngines = 3;
    // How the views print, front first, when a test decides; else by `printsWork`.
    std::optional<QList<QByteArray>> m_printScript;
    QStringList m_archivedFiles; // as the job hands them to the index
};

void TestRenderTool::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_clock.start();
    m_prints = 0;
    m_maxEngines = 3;
    m_printScript.reset();
    m_archivedFiles.clear();
}

std::unique_ptr<RenderTool> TestRenderTool::job(const QStringList& paths, bool printsWork,
                                                const QString& dest) {
    JobOptions options;
    options.destFolder = dest.isEmpty() ? m_dir->filePath("dest") : dest;
    options.pdfFormat = "%Y/__subject__.pdf";
    options.attachmentFormat = "none";
    options.emlFormat = "none";
    options.emlFiles = paths;
    RenderTool::Environment environment;
    environment.splitRoot = m_dir->filePath("split");
    environment.maxEngines = m_maxEngines;
    environment.tickMs = 5;
    environment.archived = [this](ArchivedMessage archived) {
        for (const FileRecord& file : archived.files) {
            m_archivedFiles.append(file.path);
        }
    };
    environment.makeEngine = [this, printsWork](const JobOptions& o) {
        auto view = std::make_unique<test::FakeWebView>();
        if (m_printScript) {
            view->printResults = *m_printScript;
        } else if (printsWork) {
            view->printResults = QList<QByteArray>(50, m_pdf);
        }
        connect(view.get(), &test::FakeWebView::loadFinished, this, [this] { ++m_prints; });
        EngineTiming timing;
        timing.checkIntervalMs = 2;
        timing.watchdogMs = 20000;
        // A thousand times faster than real time: the page counts as settled at once.
        timing.now = [this] {
            return static_cast<double>(m_clock.elapsed());
        };
        auto engine = std::make_unique<LocalRenderEngine>(o, view.get(), timing);
        m_views.push_back(std::move(view));
        return engine;
    };
    auto tool = std::make_unique<RenderTool>(options, environment);
    tool->setJobName("job");
    return tool;
}

JobFigures TestRenderTool::run(RenderTool& tool) {
    QSignalSpy finished(&tool, &RenderTool::finished);
    tool.renderPDFs();
    if (!finished.wait(60000)) {
        qWarning("job did not finish");
    }
    return tool.figures();
}

void TestRenderTool::listsAndFolders() {
    QStringList emls;
    QStringList emlxs;
    for (int i = 0; i < 60; ++i) {
        emlxs.append(QStringLiteral("/m/%1.emlx").arg(i));
    }
    for (int i = 0; i < 5; ++i) {
        emls.append(QStringLiteral("/m/%1.eml").arg(i));
    }
    QCOMPARE(RenderTool::combineLists(emls, emlxs), emlxs);
    emls.append("/m/5.eml");
    QCOMPARE(RenderTool::combineLists(emls, emlxs), emls + emlxs);

    QCOMPARE(JobFolders::commonAncestorEMLPaths({}), QString());
    QCOMPARE(JobFolders::commonAncestorEMLPaths({"/a/b/c.eml", "/a/b/d/e.eml", "/a/x"}),
             QString("/a"));
    QCOMPARE(JobFolders::commonAncestorEMLPaths({"/a/b.eml", "/a/b.eml"}), QString("/a/b.eml"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("NOT GOOD.*"));
    QCOMPARE(JobFolders::commonAncestorEMLPaths({"/none/x.mbox"}), QString("/none"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("NOT GOOD.*"));
    QCOMPARE(JobFolders::commonAncestorEMLPaths({"/none/x.backup"}), QString("/none/x.backup"));

    const QString split = m_dir->filePath("split");
    const JobFolders mail("/Users/x/Mail", split, "job");
    QCOMPARE(mail.emlSubFolder("/Users/x/Mail/Work/Data/m.emlx"), QString("Mail/Work"));
    QCOMPARE(mail.emlSubFolder("/Users/x/Mail/m.eml"), QString("EML"));
    const JobFolders source("/Users/x/Mail", split, "/Users/x/Mail");
    QCOMPARE(source.emlSubFolder("/Users/x/Mail/m.eml"), QString("Mail"));
    QCOMPARE(source.getMainFolder(), QString("Mail"));
    QCOMPARE(JobFolders("/Users/x", split, "job").emlSubFolder("/Users/x/a/m.eml"), QString());
    // A message split out of a mailbox is placed by the mailbox's own path.
    QCOMPARE(
        JobFolders("/home/u", split, "job").emlSubFolder(split + "/home/u/mail.mbox/m_300.eml"),
        QString("mail.mbox"));
    QVERIFY(!JobFolders::keepFolderDueToName("Messages"));
    QVERIFY(!JobFolders::keepFolderDueToName(QString(36, u'u')));
}

void TestRenderTool::jobRunsToDone() {
    const QString in = m_dir->filePath("in");
    for (int i = 1; i <= 3; ++i) {
        test::writeFile(QStringLiteral("%1/m%2.eml").arg(in).arg(i), message(i));
    }
    test::writeFile(in + "/tiny.eml", "From: x\n\nhi\n"); // too short to be a message
    QByteArray mbox;
    for (int i = 4; i <= 5; ++i) {
        mbox += "From someone Sat Jan 18 08:16:20 2014\n" + message(i).replace("\r\n", "\n");
    }
    test::writeFile(in + "/box.mbox", mbox);

    auto tool = job({in}, true);
    const JobFigures figures = run(*tool);
    QCOMPARE(tool->operationDescription(), QString("Done"));
    QCOMPARE(tool->fractionDone(), 1.0);
    QCOMPARE(figures.found, 6);
    QCOMPARE(figures.handedOut, 6);
    QCOMPARE(figures.pdfsMade, 5);
    QCOMPARE(figures.unreadable, 1);
    QCOMPARE(figures.notArchived, 0);
    QVERIFY(QFileInfo::exists(m_dir->filePath("dest/in/EML/2014/message 1.pdf")));
    QVERIFY(QFileInfo::exists(m_dir->filePath("dest/in/box.mbox/2014/message 5.pdf")));
    QFile report(tool->errorReportPath());
    QVERIFY(report.open(QIODevice::ReadOnly));
    QVERIFY(report.readAll().contains((in + "/tiny.eml").toUtf8()));
    // The mailbox's split copies went with the job.
    QVERIFY(QDir(m_dir->filePath("split")).isEmpty());

    // Again: everything is archived already, nothing is printed.
    m_prints = 0;
    auto again = job({in}, true);
    const JobFigures second = run(*again);
    QCOMPARE(second.alreadyArchived, 5);
    QCOMPARE(second.pdfsMade, 0);
    QCOMPARE(m_prints, 0);
}

void TestRenderTool::failuresAreRetriedOnceThenReported() {
    const QString in = m_dir->filePath("in");
    for (int i = 1; i <= 4; ++i) {
        test::writeFile(QStringLiteral("%1/m%2.eml").arg(in).arg(i), message(i));
    }
    auto tool = job({in}, false);
    const JobFigures figures = run(*tool);
    QCOMPARE(tool->operationDescription(), QString("Done"));
    QCOMPARE(figures.handedOut, 4);
    QCOMPARE(figures.failedTwice, 4);
    QCOMPARE(m_prints, 8); // each message laid out twice: once, then its one retry
    QFile report(tool->errorReportPath());
    QVERIFY(report.open(QIODevice::ReadOnly));
    QCOMPARE(report.readAll().count("Tried twice without luck"), 4);
    // The raw messages are kept beside their PDF paths.
    QVERIFY(QFileInfo::exists(m_dir->filePath("dest/in/EML/2014/message 2.eml")));
}

void TestRenderTool::aRetryThatWorksLeavesNoCopyOfTheFirstTry() {
    // The first try prints nothing, also on one long page, and keeps the message as an EML
    // copy; its retry prints. The copy must not stay behind unrecorded beside the PDF.
    const QString in = m_dir->filePath("in");
    test::writeFile(in + "/m1.eml", message(1));
    m_maxEngines = 1; // the retry comes to the same view, which prints the second time
    m_printScript = QList<QByteArray>{QByteArray(), QByteArray(), m_pdf};
    auto tool = job({in}, false);
    const JobFigures figures = run(*tool);
    QCOMPARE(figures.pdfsMade, 1);
    QCOMPARE(figures.failedTwice, 0);
    QCOMPARE(figures.emergencyEml, 0);
    const QString pdf = m_dir->filePath("dest/in/EML/2014/message 1.pdf");
    QVERIFY(QFileInfo::exists(pdf));
    QVERIFY(!QFileInfo::exists(m_dir->filePath("dest/in/EML/2014/message 1.eml")));
    QCOMPARE(m_archivedFiles, QStringList{pdf});
    QVERIFY(tool->errorReportPath().isEmpty());
}

void TestRenderTool::emptyJobIsDoneAtOnce() {
    QVERIFY(QDir().mkpath(m_dir->filePath("empty")));
    auto tool = job({m_dir->filePath("empty")}, true);
    const JobFigures figures = run(*tool);
    QCOMPARE(tool->operationDescription(), QString("Done"));
    QCOMPARE(figures.found, 0);
    QVERIFY(tool->errorReportPath().isEmpty());
}

void TestRenderTool::errorReportKeepsEarlierOnesAndNeverFollowsALink() {
    ErrorReport report;
    report.add({ErrorReport::Entry::Kind::Unreadable, "/in/a: b.eml", "too short"});
    const QString folder = m_dir->filePath("out");
    QVERIFY(QDir().mkpath(folder));
    QString error;
    const QString path = report.write(folder, &error);
    QCOMPARE(path, folder + "/Errors.txt");
    QVERIFY(report.write(folder, &error) == path);
    QCOMPARE(test::readFile(path).count("/in/a: b.eml: too short"), 2); // both runs, in order

    // A link put in its place is replaced by the report; what it pointed to is untouched.
    const QString elsewhere = m_dir->filePath("precious.txt");
    test::writeFile(elsewhere, "keep me");
    QVERIFY(QFile::remove(path));
    QVERIFY(QFile::link(elsewhere, path));
    QCOMPARE(report.write(folder, &error), path);
    QCOMPARE(test::readFile(elsewhere), QByteArray("keep me"));
    QVERIFY(!QFileInfo(path).isSymLink());
    QCOMPARE(test::readFile(path).count("too short"), 1);
}

// Messages that all want one name: three in the same second with the same subject, two with
// no date and no subject, and a byte-for-byte copy of one of those.
void TestRenderTool::writeTwins(const QString& folder) {
    for (int i = 1; i <= 3; ++i) {
        test::writeFile(QStringLiteral("%1/same%2.eml").arg(folder).arg(i),
                        test::crlfMessage("From: a@example.com\nSubject: same\n"
                                          "Date: Sat, 18 Jan 2014 08:16:20 +0000\n"
                                          "Message-ID: <same" +
                                          QByteArray::number(i) + "@example.com>\n\nbody " +
                                          QByteArray::number(i) + " of the same second\n"));
    }
    for (int i = 1; i <= 2; ++i) {
        test::writeFile(QStringLiteral("%1/bare%2.eml").arg(folder).arg(i),
                        test::crlfMessage("From: b@example.com\nTo: c@example.com\n\n"
                                          "a message with no date and no subject, number " +
                                          QByteArray::number(i) + "\n"));
    }
    QVERIFY(QFile::copy(folder + "/bare1.eml", folder + "/bare1 copy.eml"));
}

QStringList TestRenderTool::pdfsUnder(const QString& folder) const {
    QStringList found;
    QDirIterator it(folder, {"*.pdf"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found.append(QDir(folder).relativeFilePath(it.next()));
    }
    found.sort();
    return found;
}

void TestRenderTool::messagesSharingANameAreAllArchived() {
    const QString in = m_dir->filePath("in");
    writeTwins(in);
    auto tool = job({in}, true);
    const JobFigures figures = run(*tool);
    QCOMPARE(tool->operationDescription(), QString("Done"));
    QCOMPARE(figures.handedOut, 6);
    QCOMPARE(figures.pdfsMade, 5);
    QCOMPARE(figures.alreadyArchived, 1); // the copy is the same message
    const QStringList pdfs = pdfsUnder(m_dir->filePath("dest"));
    QCOMPARE(pdfs, QStringList({"in/EML/1970/ 2.pdf", "in/EML/1970/.pdf", "in/EML/2014/same 2.pdf",
                                "in/EML/2014/same 3.pdf", "in/EML/2014/same.pdf"}));
    QVERIFY(tool->errorReportPath().isEmpty());

    // The ledger at the top of the archive holds every message and its file.
    QString error;
    auto ledger =
        ArchiveLedger::openExisting(ArchiveLedger::ledgerPath(m_dir->filePath("dest")), &error);
    QVERIFY2(ledger, qPrintable(error));
    std::vector<ArchiveLedger::Entry> files;
    int messages = 0;
    QVERIFY(ledger->recordedFiles(&files, &messages, &error));
    QCOMPARE(messages, 5);
    QCOMPARE(files.size(), size_t(5));
    for (const ArchiveLedger::Entry& entry : files) {
        QCOMPARE(entry.file.size, QFileInfo(entry.file.path).size());
    }

    // A second run finds every one of them at its own name and prints nothing.
    m_prints = 0;
    auto again = job({in}, true);
    const JobFigures second = run(*again);
    QCOMPARE(second.pdfsMade, 0);
    QCOMPARE(second.alreadyArchived, 6);
    QCOMPARE(m_prints, 0);
    QCOMPARE(pdfsUnder(m_dir->filePath("dest")), pdfs);

    // A new twin arriving later takes the next free number.
    test::writeFile(in + "/same4.eml",
                    test::crlfMessage("From: a@example.com\nSubject: same\n"
                                      "Date: Sat, 18 Jan 2014 08:16:20 +0000\n"
                                      "Message-ID: <same4@example.com>\n\nbody 4\n"));
    auto third = job({in}, true);
    QCOMPARE(run(*third).pdfsMade, 1);
    QVERIFY(QFileInfo::exists(m_dir->filePath("dest/in/EML/2014/same 4.pdf")));
}

void TestRenderTool::twoRunsAtOnceArchiveEachMessageOnce() {
    const QString in = m_dir->filePath("in");
    writeTwins(in);
    for (int i = 1; i <= 12; ++i) {
        test::writeFile(QStringLiteral("%1/m%2.eml").arg(in).arg(i), message(i));
    }
    auto first = job({in}, true);
    auto second = job({in}, true);
    QSignalSpy firstDone(first.get(), &RenderTool::finished);
    QSignalSpy secondDone(second.get(), &RenderTool::finished);
    first->renderPDFs();
    second->renderPDFs();
    QTRY_VERIFY_WITH_TIMEOUT(firstDone.count() == 1 && secondDone.count() == 1, 60000);
    const JobFigures a = first->figures();
    const JobFigures b = second->figures();
    // 17 distinct messages, each made once by one of the two runs; the rest skipped.
    QCOMPARE(a.pdfsMade + b.pdfsMade, 17);
    QCOMPARE(a.alreadyArchived + b.alreadyArchived, 2 * 18 - 17);
    QCOMPARE(a.notArchived + b.notArchived + a.failedTwice + b.failedTwice, 0);
    QCOMPARE(pdfsUnder(m_dir->filePath("dest")).size(), 17);
}

void TestRenderTool::unwritableDestinationEndsTheJobAtOnce() {
    const QString in = m_dir->filePath("in");
    test::writeFile(in + "/m1.eml", message(1));
    const QString blocked = m_dir->filePath("a file");
    test::writeFile(blocked, "not a folder");
    for (const QString& dest : {QStringLiteral("/proc/x"), blocked + "/dest"}) {
        auto tool = job({in}, true, dest);
        const JobFigures figures = run(*tool);
        QVERIFY2(tool->fatalError().contains(dest), qPrintable(tool->fatalError()));
        QCOMPARE(figures.handedOut, 0);
        QCOMPARE(m_prints, 0);
    }
}

QTEST_MAIN(TestRenderTool)
#include "tst_rendertool.moc"
