// An account's job against a private Dovecot, with engines on a scripted page.

#include "archive/job/rendertool.h"
#include "archive/sources/imapmessagesource.h"
#include "dovecotserver.h"
#include "fakewebview.h"
#include "render/localrenderengine.h"
#include "testsupport.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QtTest>

using namespace tessaly;

class TestImapJob : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void chunksCoverEveryMessage_data();
    void chunksCoverEveryMessage();
    void folderNamesAreShownEscaped();
    void everyFolderThatIsOnIsArchived();
    void aJobWithNoFoldersEndsWithItsReason();
    void aFolderThatCannotBeOpenedIsNotArchived();

private:
    std::unique_ptr<RenderTool> job(const QString& user, const QStringList& skipped = {});
    int filesUnder(const QString& folder) const;

    std::unique_ptr<test::DovecotServer> m_server;
    QTemporaryDir m_dir;
    QByteArray m_pdf;
    std::vector<std::unique_ptr<test::FakeWebView>> m_views;
    QElapsedTimer m_clock;
};

void TestImapJob::initTestCase() {
    m_pdf = test::makePdf();
    m_clock.start();
    QString error;
    test::DovecotServer::Options options;
    options.users = {QStringLiteral("one@example.test"), QStringLiteral("two@example.test"),
                     QStringLiteral("three@example.test")};
    m_server = test::DovecotServer::start(options, &error);
    QVERIFY2(m_server, qPrintable(error));
}

void TestImapJob::chunksCoverEveryMessage_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<quint32>>("starts");
    QTest::addColumn<QList<quint32>>("lengths");
    QTest::newRow("12000") << 12000 << QList<quint32>{1, 5001, 10001}
                           << QList<quint32>{5000, 5000, 1999};
    // A chunk starting past the last message would only draw an error from the server.
    QTest::newRow("5000") << 5000 << QList<quint32>{1} << QList<quint32>{4999};
    QTest::newRow("1") << 1 << QList<quint32>{1} << QList<quint32>{0};
    QTest::newRow("empty") << 0 << QList<quint32>{} << QList<quint32>{};
}

void TestImapJob::chunksCoverEveryMessage() {
    QFETCH(int, count);
    QFETCH(QList<quint32>, starts);
    QFETCH(QList<quint32>, lengths);
    const QList<ImapMessageSource::Chunk> chunks = ImapMessageSource::chunksFor("F", count);
    QList<quint32> gotStarts;
    QList<quint32> gotLengths;
    QSet<quint32> covered;
    for (const auto& chunk : chunks) {
        gotStarts.append(chunk.start);
        gotLengths.append(chunk.numToFetch);
        QVERIFY(chunk.numToFetch <= ImapMessageSource::kChunkSize);
        for (quint32 n = chunk.start; n <= chunk.start + chunk.numToFetch; ++n) {
            QVERIFY(n <= static_cast<quint32>(count));
            covered.insert(n);
        }
    }
    QCOMPARE(gotStarts, starts);
    QCOMPARE(gotLengths, lengths);
    QCOMPARE(covered.size(), count);
}

void TestImapJob::folderNamesAreShownEscaped() {
    QCOMPARE(ImapMessageSource::displayName("Reports/../x\tÜber\r\n%d\\"),
             QStringLiteral("Reports/../x\\tÜber\\r\\n%d\\\\"));
    QCOMPARE(ImapMessageSource::displayName(QString(QChar(0x1b)) + "[2J"),
             QStringLiteral("\\u001b[2J"));
}

std::unique_ptr<RenderTool> TestImapJob::job(const QString& user, const QStringList& skipped) {
    JobOptions options;
    options.emailUsername = user;
    options.destFolder = m_dir.filePath("dest");
    options.pdfFormat = "%Y/__subject__.pdf";
    options.attachmentFormat = "none";
    options.emlFormat = "none";
    options.imapServer = m_server->host();
    options.imapPort = m_server->imapPort();
    options.imapTransport = static_cast<int>(ImapConnectionType::Clear);
    options.password = m_server->password();
    options.foldersToSkip = skipped;
    RenderTool::Environment environment;
    environment.maxEngines = 3;
    environment.tickMs = 5;
    environment.makeEngine = [this](const JobOptions& o) {
        auto view = std::make_unique<test::FakeWebView>();
        view->printResults = QList<QByteArray>(50, m_pdf);
        EngineTiming timing;
        timing.checkIntervalMs = 2;
        timing.watchdogMs = 20000;
        timing.now = [this] {
            return static_cast<double>(m_clock.elapsed());
        };
        auto engine = std::make_unique<LocalRenderEngine>(o, view.get(), timing);
        m_views.push_back(std::move(view));
        return engine;
    };
    auto tool = std::make_unique<RenderTool>(options, environment);
    tool->setJobName(user);
    return tool;
}

int TestImapJob::filesUnder(const QString& folder) const {
    int files = 0;
    QDirIterator it(folder, {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++files;
    }
    return files;
}

// Two folders of three, an empty one, one switched off and a parent that holds no messages:
// six PDFs, each in its folder below the account's, and the job ends Done.
void TestImapJob::everyFolderThatIsOnIsArchived() {
    const QString user = "one@example.test";
    QString error;
    for (const char* folder : {"Work", "Parent/Child", "Empty", "Off"}) {
        QVERIFY2(m_server->createFolder(user, folder, &error), qPrintable(error));
    }
    QVERIFY(m_server->addMessages(user, "INBOX", test::generatedMessages(3, "inbox"), &error));
    QVERIFY(
        m_server->addMessages(user, "Parent/Child", test::generatedMessages(3, "child"), &error));
    QVERIFY(m_server->addMessages(user, "Off", test::generatedMessages(2, "off"), &error));

    auto tool = job(user, {"Off"});
    QSignalSpy finished(tool.get(), &RenderTool::finished);
    tool->renderPDFs();
    QVERIFY(finished.wait(60000));
    QCOMPARE(tool->operationDescription(), QStringLiteral("Done"));
    const JobFigures figures = tool->figures();
    QCOMPARE(figures.found, 6);
    QCOMPARE(figures.pdfsMade, 6);
    QCOMPARE(tool->bodiesFetched(), 6);
    const QString account = m_dir.filePath("dest/" + user);
    QCOMPARE(filesUnder(account + "/INBOX"), 3);
    QCOMPARE(filesUnder(account + "/Parent/Child"), 3);
    QCOMPARE(filesUnder(m_dir.filePath("dest")), 6);

    // The next run recognises every message by its UID and fetches none.
    auto again = job(user, {"Off"});
    QSignalSpy finishedAgain(again.get(), &RenderTool::finished);
    again->renderPDFs();
    QVERIFY(finishedAgain.wait(60000));
    QCOMPARE(again->figures().alreadyArchived, 6);
    QCOMPARE(again->bodiesFetched(), 0);
}

// With nothing to fetch, a job does not wait for ever: it ends saying why.
void TestImapJob::aJobWithNoFoldersEndsWithItsReason() {
    auto tool = job("two@example.test", {"INBOX"});
    QSignalSpy finished(tool.get(), &RenderTool::finished);
    QSignalSpy folderError(tool.get(), &RenderTool::errorFolderNames);
    tool->renderPDFs();
    QVERIFY(finished.wait(30000));
    QVERIFY(tool->allFinished());
    QCOMPARE(tool->operationDescription(), QStringLiteral("Failed: every folder is switched off"));
    QCOMPARE(folderError.size(), 1);

    auto refused = job("two@example.test");
    JobOptions options = refused->options();
    options.password = "not-the-password";
    RenderTool::Environment environment;
    environment.makeEngine = [](const JobOptions&) {
        return nullptr;
    };
    RenderTool wrong(options, environment);
    QSignalSpy wrongFinished(&wrong, &RenderTool::finished);
    wrong.renderPDFs();
    QVERIFY(wrongFinished.wait(30000));
    QVERIFY2(wrong.operationDescription().contains("refused the credentials"),
             qPrintable(wrong.operationDescription()));
}

// A folder the server cannot open holds an unknown number of messages: the job says so rather
// than counting everything it saw as archived.
void TestImapJob::aFolderThatCannotBeOpenedIsNotArchived() {
    const QString user = "three@example.test";
    QString error;
    QVERIFY(m_server->createFolder(user, "Locked", &error));
    QVERIFY(m_server->addMessages(user, "Locked", test::generatedMessages(2, "locked"), &error));
    const QString locked = m_server->maildir(user) + "/.Locked";
    QVERIFY2(QFileInfo(locked).isDir(), qPrintable(locked));
    QVERIFY(QFile::setPermissions(locked, {}));
    auto tool = job(user);
    QSignalSpy finished(tool.get(), &RenderTool::finished);
    tool->renderPDFs();
    QVERIFY(finished.wait(60000));
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QCOMPARE(tool->figures().foldersNotRead, 1);
    QVERIFY(!tool->errorReportPath().isEmpty());
    QVERIFY(test::readFile(tool->errorReportPath()).contains("Locked"));
}

QTEST_MAIN(TestImapJob)
#include "tst_imapjob.moc"
