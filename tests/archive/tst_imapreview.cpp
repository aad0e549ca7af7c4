// An account's job against a private Dovecot where things go wrong between runs: files deleted
// by the user, a folder renumbered by the server, headers that never arrive, a cancelled job.

#include "archive/job/rendertool.h"
#include "archive/ledger/archiveledger.h"
#include "cuttingproxy.h"
#include "dovecotserver.h"
#include "fakewebview.h"
#include "platform/index/sqlitedatabase.h"
#include "render/localrenderengine.h"
#include "testsupport.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QtTest>

using namespace tessaly;

class TestImapReview : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void aDeletedPdfIsMadeAgain();
    void aRenumberedFolderFetchesNoBody();
    void headersThatNeverArriveAreCountedOnce();
    void aCancelledJobLosesNothing();

private:
    std::unique_ptr<RenderTool> job(const QString& user, const QString& dest, quint16 port = 0);
    // Runs a job to its end; false when it did not end in time.
    bool run(RenderTool& tool);
    QStringList pdfsUnder(const QString& folder) const;
    int reservedRows(const QString& dest) const;

    std::unique_ptr<test::DovecotServer> m_server;
    QTemporaryDir m_dir;
    QByteArray m_pdf;
    std::vector<std::unique_ptr<test::FakeWebView>> m_views;
    QElapsedTimer m_clock;
};

void TestImapReview::initTestCase() {
    m_pdf = test::makePdf();
    m_clock.start();
    QString error;
    test::DovecotServer::Options options;
    options.users = {QStringLiteral("deleted@example.test"),
                     QStringLiteral("renumbered@example.test"), QStringLiteral("cut@example.test"),
                     QStringLiteral("cancel@example.test")};
    m_server = test::DovecotServer::start(options, &error);
    QVERIFY2(m_server, qPrintable(error));
}

std::unique_ptr<RenderTool> TestImapReview::job(const QString& user, const QString& dest,
                                                quint16 port) {
    JobOptions options;
    options.emailUsername = user;
    options.destFolder = m_dir.filePath(dest);
    options.pdfFormat = "%Y/__subject__.pdf";
    options.attachmentFormat = "none";
    options.emlFormat = "none";
    options.imapServer = m_server->host();
    options.imapPort = port != 0 ? port : m_server->imapPort();
    options.imapTransport = static_cast<int>(ImapConnectionType::Clear);
    options.password = m_server->password();
    RenderTool::Environment environment;
    environment.maxEngines = 3;
    environment.tickMs = 5;
    environment.makeEngine = [this](const JobOptions& o) {
        auto view = std::make_unique<test::FakeWebView>();
        view->printResults = QList<QByteArray>(1600, m_pdf);
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

bool TestImapReview::run(RenderTool& tool) {
    QSignalSpy finished(&tool, &RenderTool::finished);
    tool.renderPDFs();
    return finished.wait(60000);
}

QStringList TestImapReview::pdfsUnder(const QString& folder) const {
    QStringList files;
    QDirIterator it(m_dir.filePath(folder), {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        files.append(QFileInfo(it.next()).fileName());
    }
    files.sort();
    return files;
}

int TestImapReview::reservedRows(const QString& dest) const {
    QString error;
    auto db = SqliteDatabase::open(ArchiveLedger::ledgerPath(m_dir.filePath(dest)),
                                   SqliteDatabase::Mode::ReadOnly, &error);
    std::vector<SqliteDatabase::Row> rows;
    if (!db || !db->query("SELECT count(*) FROM messages WHERE outcome = 'reserved'", {}, &rows) ||
        rows.empty()) {
        return -1;
    }
    return rows.front()[0].toInt();
}

// A PDF the user deleted is made again on the next run, as for messages from files; the
// others are still recognised without fetching their bodies.
void TestImapReview::aDeletedPdfIsMadeAgain() {
    const QString user = "deleted@example.test";
    QString error;
    QVERIFY(m_server->addMessages(user, "INBOX", test::generatedMessages(3, "gone"), &error));
    auto first = job(user, "deleted");
    QVERIFY(run(*first));
    QCOMPARE(first->figures().pdfsMade, 3);
    const QString deleted = m_dir.filePath("deleted/" + user + "/INBOX/2021/gone message 2.pdf");
    QVERIFY(QFile::remove(deleted));

    auto again = job(user, "deleted");
    QVERIFY(run(*again));
    QCOMPARE(again->figures().pdfsMade, 1);
    QCOMPARE(again->figures().alreadyArchived, 2);
    QCOMPARE(again->bodiesFetched(), 1);
    QVERIFY(QFileInfo::exists(deleted));
}

// A server that renumbers a folder (a new UIDVALIDITY) makes the next run look at every
// header again, but it downloads no message and makes no second copy.
void TestImapReview::aRenumberedFolderFetchesNoBody() {
    const QString user = "renumbered@example.test";
    QString error;
    QVERIFY(m_server->addMessages(user, "INBOX", test::generatedMessages(4, "renum"), &error));
    auto first = job(user, "renumbered");
    QVERIFY(run(*first));
    QCOMPARE(first->figures().pdfsMade, 4);
    QVERIFY(m_server->waitForSessionsEnded());

    // Without its UID list and index Dovecot numbers the folder afresh.
    QDirIterator it(m_server->maildir(user), {"dovecot-uidlist", "dovecot.index*"}, QDir::Files);
    int removed = 0;
    while (it.hasNext()) {
        QVERIFY(QFile::remove(it.next()));
        ++removed;
    }
    QVERIFY(removed > 0);

    auto again = job(user, "renumbered");
    QVERIFY(run(*again));
    QCOMPARE(again->operationDescription(), QStringLiteral("Done"));
    QCOMPARE(again->figures().alreadyArchived, 4);
    QCOMPARE(again->figures().pdfsMade, 0);
    QCOMPARE(again->bodiesFetched(), 0);
    QCOMPARE(pdfsUnder("renumbered").size(), 4);

    // The new UIDs were noted: the run after that knows every message by its UID.
    auto third = job(user, "renumbered");
    QVERIFY(run(*third));
    QCOMPARE(third->figures().alreadyArchived, 4);
    QCOMPARE(third->bodiesFetched(), 0);
}

// The headers of new messages cannot be had (every connection drops while they come): those
// messages are listed as not archived, each once, beside the ones archived before.
void TestImapReview::headersThatNeverArriveAreCountedOnce() {
    const QString user = "cut@example.test";
    QString error;
    QVERIFY(m_server->addMessages(user, "INBOX", test::generatedMessages(3, "old"), &error));
    auto first = job(user, "cut");
    QVERIFY(run(*first));
    QCOMPARE(first->figures().pdfsMade, 3);
    QVERIFY(m_server->addMessages(user, "INBOX", test::generatedMessages(2, "new"), &error));

    test::CuttingProxy proxy(m_server->imapPort());
    QVERIFY(proxy.port() != 0);
    proxy.cutAfterCommand(
        QRegularExpression("UID FETCH .*HEADER", QRegularExpression::CaseInsensitiveOption), 10,
        10);
    auto again = job(user, "cut", proxy.port());
    QVERIFY(run(*again));
    QVERIFY(proxy.connectionsCut() > 0);
    const JobFigures figures = again->figures();
    QCOMPARE(figures.found, 5);
    QCOMPARE(figures.alreadyArchived, 3);
    QCOMPARE(figures.notArchived, 2);
    QCOMPARE(figures.handedOut, 5);
    QVERIFY(!again->errorReportPath().isEmpty());
}

// Cancelled while the headers come in, and again while messages are being made: nothing
// arrives for the job afterwards, and the next run archives every message exactly once and
// leaves no name reserved (those in flight at the cancel are taken over).
void TestImapReview::aCancelledJobLosesNothing() {
    const QString user = "cancel@example.test";
    QString error;
    QVERIFY(m_server->addMessages(user, "INBOX", test::generatedMessages(1500, "many"), &error));

    auto headers = job(user, "cancel");
    QSignalSpy headersFinished(headers.get(), &RenderTool::finished);
    headers->renderPDFs();
    QTRY_VERIFY_WITH_TIMEOUT(headers->operationDescription().startsWith("Getting headers"), 30000);
    headers->cancel();
    QCOMPARE(headersFinished.size(), 1);
    QVERIFY(headers->wasCancelled());

    // The cancelled job stays while the next one gets far: completions already on their way
    // to it arrive meanwhile and find no work.
    auto bodies = job(user, "cancel");
    QSignalSpy bodiesFinished(bodies.get(), &RenderTool::finished);
    bodies->renderPDFs();
    QTRY_VERIFY_WITH_TIMEOUT(bodies->figures().pdfsMade >= 5, 60000);
    QCOMPARE(headersFinished.size(), 1);
    headers.reset();
    bodies->cancel();
    QCOMPARE(bodiesFinished.size(), 1);
    const int made = bodies->figures().pdfsMade;
    // Gone at once: what was on its way to it is dropped, while the next job runs.
    bodies.reset();

    auto rest = job(user, "cancel");
    QVERIFY(run(*rest));
    QCOMPARE(rest->operationDescription(), QStringLiteral("Done"));
    QCOMPARE(rest->figures().found, 1500);
    QVERIFY(rest->figures().alreadyArchived >= made);
    QCOMPARE(rest->figures().alreadyArchived + rest->figures().pdfsMade, 1500);
    const QStringList pdfs = pdfsUnder("cancel");
    QCOMPARE(pdfs.size(), 1500);
    QCOMPARE(QSet<QString>(pdfs.begin(), pdfs.end()).size(), 1500);
    QCOMPARE(reservedRows("cancel"), 0);
}

QTEST_MAIN(TestImapReview)
#include "tst_imapreview.moc"
