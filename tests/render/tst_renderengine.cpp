#include "fakewebview.h"
#include "platform/files/filerecord.h"
#include "platform/pdf/pdfinfo.h"
#include "render/emloutput.h"
#include "render/localrenderengine.h"
#include "render/readinesspolicy.h"
#include "tags/openmeta.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace tessaly;
using test::FakeWebView;

namespace {

QByteArray message(const QByteArray& extraHeaders = {}, const QByteArray& body = "Hello there\n") {
    return test::crlfMessage(
        "From: John Smith <John.Smith@Example.com>\n"
        "To: Jane Doe <jane@example.com>, john.smith@example.com\n"
        "Date: Sat, 18 Jan 2014 08:16:20 +0000\nSubject: Quarterly <report>\n" +
        extraHeaders + "\n" + body);
}

} // namespace

class TestRenderEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        m_pdf = test::makePdf();
        QVERIFY(m_pdf.size() > 7000);
    }
    void init();
    void cleanup();
    void printsWhenThePageIsReady();
    void printsWhenTheLastResourceArrives();
    void pageStillLoadingIsWaitedFor24Seconds();
    void readinessBounds();
    void waitsForResourcesAndReloadsOnce();
    void shortBodyIsGivenUpAndNeverPrintedLater();
    void startWhileBusyRendersNothing();
    void knownPathServesOneStart();
    void formatRoutes();
    void fallsBackToSinglePageThenEml();
    void unwritableDestination();
    void layoutChoiceAndFooter();
    void takenNameMovesToTheNextNumber();
    void failedAttachmentFailsTheMessage();
    void attachmentsAreNumberedDatedAndTagged();

private:
    // `tickMs` is the fallback tick: long, the engine must act on the page's own events.
    std::unique_ptr<LocalRenderEngine> engine(JobOptions options = {}, int tickMs = 2);
    JobOptions options() const;
    void start(MessageToHTMLToPDF& e, const QByteArray& raw,
               const QString& jobName = QStringLiteral("job"));
    QString pdfPath() const {
        return m_dir->filePath(
            QStringLiteral("2014/01/2014-01-18 08.16.20Z  Quarterly -report-.pdf"));
    }

    QByteArray m_pdf;
    double m_now = 0;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeWebView> m_view;
};

void TestRenderEngine::init() {
    m_now = 100;
    m_dir = std::make_unique<QTemporaryDir>();
    m_view = std::make_unique<FakeWebView>();
}

void TestRenderEngine::cleanup() {
    m_view.reset();
    m_dir.reset();
}

JobOptions TestRenderEngine::options() const {
    JobOptions o;
    o.destFolder = m_dir->path();
    o.pdfFormat = QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__.pdf");
    o.attachmentFormat =
        QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__ (attachments)/__filename__");
    o.emlFormat = QStringLiteral("none");
    return o;
}

std::unique_ptr<LocalRenderEngine> TestRenderEngine::engine(JobOptions o, int tickMs) {
    if (o.destFolder.isEmpty()) {
        o = options();
    }
    EngineTiming timing;
    timing.checkIntervalMs = tickMs;
    timing.watchdogMs = 600;
    timing.unwritableRetryDelayMs = 1;
    timing.now = [this] {
        return m_now;
    };
    return std::make_unique<LocalRenderEngine>(o, m_view.get(), timing);
}

void TestRenderEngine::start(MessageToHTMLToPDF& e, const QByteArray& raw, const QString& jobName) {
    QVERIFY(e.startRender(MCOMessageParser::messageParserWithData(raw), QString(), QString(), false,
                          jobName, QString()));
}

void TestRenderEngine::printsWhenThePageIsReady() {
    // No tick within the test's time and no time passing: the page's load alone starts the
    // print.
    auto e = engine({}, 60'000);
    QSignalSpy made(e.get(), &MessageToHTMLToPDF::anotherPDFMade);
    m_view->printResults = {m_pdf};
    start(*e, message("X-Keywords: work,urgent\n"));
    QVERIFY(e->busyDoingSomething());
    QCOMPARE(m_view->loadedHtml.size(), 1);
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(m_view->printLayouts.size(), 1);
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::Made);
    QCOMPARE(e->lastPdfPath(), pdfPath());
    QCOMPARE(made.count(), 1);
    QCOMPARE(made.first().first().toString(), QStringLiteral("job"));

    QMap<QString, QString> info;
    QVERIFY(PdfInfo::read(pdfPath(), info, nullptr));
    QCOMPARE(info.value("Title"), QStringLiteral("Quarterly <report>"));
    QCOMPARE(info.value("Author"), QStringLiteral("John.Smith@Example.com"));
    QStringList keywords = info.value("Keywords").split(QStringLiteral(", "));
    keywords.sort();
    QCOMPARE(keywords, (QStringList{"jane@example.com", "john.smith@example.com"}));
    QVERIFY(info.value("Creator").startsWith(QStringLiteral("org.tessaly.Tessaly  version:")));
    QCOMPARE(info.value("CreationDate").left(16), QStringLiteral("D:20140118081620"));
    QCOMPARE(QFileInfo(pdfPath()).lastModified().toUTC(),
             QDateTime::fromSecsSinceEpoch(1390032980, Qt::UTC));
    QCOMPARE(*OpenMeta::getUserTags(pdfPath()), (QStringList{"work", "urgent"}));

    // A sound PDF is there now: the same message is skipped without loading anything.
    start(*e, message());
    QVERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::AlreadyArchived);
    QCOMPARE(m_view->loadedHtml.size(), 1);
}

void TestRenderEngine::printsWhenTheLastResourceArrives() {
    auto e = engine({}, 60'000);
    m_view->printResults = {m_pdf};
    start(*e, message());
    m_view->downloading = true; // an image still on its way
    QTest::qWait(30);
    QVERIFY(m_view->printLayouts.isEmpty());
    m_view->downloading = false;
    Q_EMIT m_view->resourceLoadsSettled();
    QTRY_COMPARE(m_view->printLayouts.size(), 1);
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::Made);
}

void TestRenderEngine::pageStillLoadingIsWaitedFor24Seconds() {
    auto e = engine();
    m_view->printResults = {m_pdf};
    m_view->loading = true; // a page that never says it has finished
    start(*e, message());
    m_now += 23;
    QTest::qWait(30);
    QVERIFY(m_view->printLayouts.isEmpty());
    m_now += 2;
    QTRY_COMPARE(m_view->printLayouts.size(), 1);
    QCOMPARE(m_view->loadedHtml.size(), 1);
}

void TestRenderEngine::readinessBounds() {
    using Step = ReadinessPolicy::Step;
    ReadinessPolicy policy;
    QCOMPARE(policy.next(0, {false, false}), Step::AskBody); // no floor: ready is ready
    QCOMPARE(policy.next(0, {true, false}), Step::Wait);
    QCOMPARE(policy.next(24, {true, false}), Step::Wait);
    QCOMPARE(policy.next(24.1, {true, false}), Step::AskBody);
    QCOMPARE(policy.next(39, {false, true}), Step::Wait);
    QCOMPARE(policy.next(40.5, {false, true}), Step::Reload);
    QCOMPARE(policy.next(45, {false, false}), Step::Wait); // a reload gets time
    QCOMPARE(policy.next(51, {false, true}), Step::Wait);
    QCOMPARE(policy.next(80, {false, true}), Step::AskBody);
    QCOMPARE(policy.next(200, {true, true}), Step::AskBody); // only once reloaded
    QCOMPARE(policy.reloadCount(), 1);
    QVERIFY(!ReadinessPolicy::bodyIsLongEnough(200));
    QVERIFY(ReadinessPolicy::bodyIsLongEnough(201));
}

void TestRenderEngine::waitsForResourcesAndReloadsOnce() {
    auto e = engine();
    m_view->printResults = {m_pdf};
    start(*e, message());
    m_view->downloading = true; // a remote image that does not come
    m_now += 39;
    QTest::qWait(20);
    QCOMPARE(m_view->loadedHtml.size(), 1);
    m_now += 2; // past 40 s: laid out and loaded once more
    QTRY_COMPARE(m_view->loadedHtml.size(), 2);
    m_view->downloading = true;
    m_now += 5; // 46 s: a reload gets time
    QTest::qWait(20);
    QVERIFY(m_view->printLayouts.isEmpty());
    QCOMPARE(m_view->loadedHtml.size(), 2); // only once
    m_now += 35;                            // 81 s: resources no longer wait
    QTRY_COMPARE(m_view->printLayouts.size(), 1);
    QTRY_VERIFY(!e->busyDoingSomething());
}

void TestRenderEngine::shortBodyIsGivenUpAndNeverPrintedLater() {
    auto e = engine();
    m_view->body = QStringLiteral("short");
    m_view->printResults = {m_pdf, m_pdf};
    start(*e, message());
    m_now += 5;
    QTRY_VERIFY_WITH_TIMEOUT(!e->busyDoingSomething(), 3000); // the watchdog
    // Given up: the raw message is kept beside its name, with the reason, and not retried.
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::EmergencyEml);
    QVERIFY(!QFileInfo::exists(pdfPath()));
    QVERIFY(e->lastReason().contains(QStringLiteral("not ready")));
    QFile copy(EmlOutput::emlPathBeside(pdfPath()));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), message());
    QCOMPARE(e->lastFiles().size(), size_t(1));
    bool retry = true;
    QVERIFY(!e->getAndClearFailedMessage(&retry));
    QVERIFY(!retry);
    // With a long body now, nothing prints: the given-up message's timer is gone.
    m_view->body = QString(500, u'y');
    QTest::qWait(50);
    QVERIFY(m_view->printLayouts.isEmpty());
}

void TestRenderEngine::startWhileBusyRendersNothing() {
    auto e = engine();
    start(*e, message());
    QVERIFY(e->busyDoingSomething());
    QTest::ignoreMessage(QtWarningMsg,
                         "Render NOT started - this is bad. Make sure we are not busy first.");
    QVERIFY(!e->startRender(MCOMessageParser::messageParserWithData(message("X-Other: 1\n")),
                            QStringLiteral("Elsewhere"), QStringLiteral("Sub"), true,
                            QStringLiteral("other"), QString()));
    QCOMPARE(m_view->loadedHtml.size(), 1);
    // The refused start changed nothing: the first message still prints where it belongs.
    QVERIFY(e->busyDoingSomething());
    m_view->printResults = {m_pdf};
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::Made);
    QCOMPARE(e->lastPdfPath(), pdfPath());
    QVERIFY(QFileInfo::exists(pdfPath()));
}

void TestRenderEngine::knownPathServesOneStart() {
    // A path the caller worked out already is used for the next start only, also when that
    // start is refused.
    auto e = engine({}, 60'000);
    m_view->printResults = {m_pdf, m_pdf};
    const QString known = m_dir->filePath("known.pdf");
    e->setClaimedName({known, 1, false});
    start(*e, message());
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastPdfPath(), known);
    QVERIFY(QFileInfo::exists(known));
    start(*e, message());
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastPdfPath(), pdfPath());
}

void TestRenderEngine::formatRoutes() {
    // PDF off, EML on: the EML and the attachments are written and the file is counted.
    JobOptions o = options();
    o.pdfFormat = QStringLiteral("none");
    o.emlFormat = QStringLiteral("%Y/__subject__.eml");
    auto e = engine(o);
    QSignalSpy made(e.get(), &MessageToHTMLToPDF::anotherPDFMade);
    start(*e, message());
    QVERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::EmlOnly);
    QCOMPARE(made.count(), 1);
    const QString eml = m_dir->filePath(QStringLiteral("2014/Quarterly -report-.eml"));
    QVERIFY(EmlOutput::emlFilelooksOK(eml));
    QVERIFY(m_view->loadedHtml.isEmpty());
    start(*e, message());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::AlreadyArchived);

    // Both off: nothing is written and the engine is idle at once.
    o.emlFormat = QStringLiteral("none");
    auto none = engine(o);
    start(*none, message());
    QVERIFY(!none->busyDoingSomething());
    QCOMPARE(none->lastOutcome(), MessageToHTMLToPDF::Outcome::Nothing);
}

void TestRenderEngine::fallsBackToSinglePageThenEml() {
    auto e = engine();
    // A paged print that is too small is replaced by one tall page.
    m_view->printResults = {QByteArray(5000, 'x'), m_pdf};
    start(*e, message());
    m_now += 2;
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::Made);
    QCOMPARE(m_view->printLayouts.size(), 2);
    QCOMPARE(m_view->printLayouts[1].pageSize().id(), QPageSize::Custom);

    // When that fails too: no PDF, the raw message beside its path, a failure to retry.
    QFile::remove(pdfPath());
    m_view->printLayouts.clear();
    m_view->printResults = {QByteArray(5000, 'x'), QByteArray()};
    start(*e, message());
    m_now += 2;
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::Failed);
    QVERIFY(!QFileInfo::exists(pdfPath()));
    QFile copy(EmlOutput::emlPathBeside(pdfPath()));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), message());
    bool retry = true;
    const auto failed = e->getAndClearFailedMessage(&retry);
    QVERIFY(failed);
    QVERIFY(!retry);
    QCOMPARE(failed->message->data(), message());
    QVERIFY(!e->getAndClearFailedMessage(nullptr));
}

void TestRenderEngine::unwritableDestination() {
    if (::geteuid() == 0) {
        QSKIP("root writes everywhere");
    }
    JobOptions o = options();
    const QString locked = m_dir->filePath(QStringLiteral("locked"));
    QVERIFY(QDir().mkpath(locked + QStringLiteral("/2014/01")));
    QFile::setPermissions(locked + QStringLiteral("/2014/01"),
                          QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    o.destFolder = locked;
    auto e = engine(o);
    m_view->printResults = {m_pdf, m_pdf};
    start(*e, message());
    m_now += 2;
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::Failed);
}

void TestRenderEngine::takenNameMovesToTheNextNumber() {
    // Another engine publishes a different message's PDF at the claimed name while this one
    // prints: this message moves to "NAME 2", its EML copy and attachments with it, and the
    // other PDF is untouched.
    JobOptions o = options();
    o.emlFormat = QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__.eml");
    auto e = engine(o, 60'000);
    const QByteArray attached =
        message("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n",
                "--b\nContent-Type: text/plain\n\nHello\n--b\nContent-Type: text/plain\n"
                "Content-Disposition: attachment; filename=notes.txt\n\nsome notes\n--b--\n");
    e->setClaimedName({pdfPath(), 1, false});
    start(*e, attached);
    QVERIFY(e->busyDoingSomething());
    QByteArray other = m_pdf;
    other.append("%other\n");
    QVERIFY(QDir().mkpath(QFileInfo(pdfPath()).path()));
    QFile winner(pdfPath());
    QVERIFY(winner.open(QIODevice::WriteOnly));
    QCOMPARE(winner.write(other), other.size());
    winner.close();
    m_view->printResults = {m_pdf};
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::Made);
    const QString second =
        m_dir->filePath(QStringLiteral("2014/01/2014-01-18 08.16.20Z  Quarterly -report- 2.pdf"));
    QCOMPARE(e->lastPdfPath(), second);
    QVERIFY(QFileInfo::exists(second));
    QVERIFY(QFileInfo::exists(EmlOutput::emlPathBeside(second)));
    QVERIFY(QFileInfo::exists(m_dir->filePath(QStringLiteral(
        "2014/01/2014-01-18 08.16.20Z  Quarterly -report- (attachments) 2/notes.txt"))));
    // What it had written under the taken name is gone; the winner's PDF is as it was.
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral(
        "2014/01/2014-01-18 08.16.20Z  Quarterly -report- (attachments)/notes.txt"))));
    QFile kept(pdfPath());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), other);
    QStringList recorded;
    for (const FileRecord& file : e->lastFiles()) {
        recorded.append(QFileInfo(file.path).fileName());
    }
    recorded.sort();
    QCOMPARE(recorded,
             QStringList({"2014-01-18 08.16.20Z  Quarterly -report- 2.eml",
                          "2014-01-18 08.16.20Z  Quarterly -report- 2.pdf", "notes.txt"}));
}

void TestRenderEngine::failedAttachmentFailsTheMessage() {
    auto e = engine();
    const QByteArray attached =
        message("MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n",
                "--b\nContent-Type: text/plain\n\nHello\n--b\nContent-Type: text/plain\n"
                "Content-Disposition: attachment; filename=notes.txt\n\nsome notes\n--b--\n");
    // The attachments folder's name is held by a file: the attachment cannot be written.
    const QString folder =
        m_dir->filePath(QStringLiteral("2014/01/2014-01-18 08.16.20Z  Quarterly -report- "
                                       "(attachments)"));
    QVERIFY(QDir().mkpath(QFileInfo(folder).path()));
    QFile blocker(folder);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    m_view->printResults = {m_pdf};
    start(*e, attached);
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(e->lastOutcome(), MessageToHTMLToPDF::Outcome::Failed);
    QVERIFY2(e->lastReason().contains(QStringLiteral("notes.txt")), qPrintable(e->lastReason()));
    QVERIFY(!QFileInfo::exists(pdfPath()));
    QVERIFY(e->getAndClearFailedMessage(nullptr));
}

void TestRenderEngine::layoutChoiceAndFooter() {
    QVERIFY(LocalRenderEngine::shouldPrintAsSinglePage({1000, 1500}, 960));
    QVERIFY(!LocalRenderEngine::shouldPrintAsSinglePage({1000, 2500}, 960));
    QVERIFY(!LocalRenderEngine::shouldPrintAsSinglePage({960, 500}, 960));
    const QPageLayout tall = LocalRenderEngine::singlePageLayout({1000, 1500}, 2);
    QCOMPARE(tall.pageSize().size(QPageSize::Point), QSizeF(750, 1127));

    // A wide page is printed as one page.
    auto e = engine();
    m_view->contents = {1008, 1500};
    m_view->printResults = {m_pdf};
    start(*e, message("X-Evil: <script>alert(1)</script>\n"));
    const QString html = m_view->loadedHtml.first();
    QVERIFY(html.contains(QStringLiteral("X-Evil: &lt;script&gt;alert(1)&lt;/script&gt;")));
    QVERIFY(html.contains(QStringLiteral("Tessaly-Version: ")));
    QVERIFY(html.contains(QStringLiteral("font-size:4px !important")));
    QVERIFY(!html.contains(QStringLiteral("<script>")));
    m_now += 2;
    QTRY_VERIFY(!e->busyDoingSomething());
    QCOMPARE(m_view->printLayouts.first().pageSize().id(), QPageSize::Custom);

    JobOptions o = options();
    o.tinyHeaders = false;
    QTemporaryDir elsewhere;
    o.destFolder = elsewhere.path();
    FakeWebView quiet;
    LocalRenderEngine noFooter(o, &quiet);
    QVERIFY(noFooter.startRender(MCOMessageParser::messageParserWithData(message()), {}, {}, false,
                                 {}, {}));
    QVERIFY(!quiet.loadedHtml.first().contains(QStringLiteral("Tessaly-Version: ")));
    noFooter.shutdown();
}

void TestRenderEngine::attachmentsAreNumberedDatedAndTagged() {
    const QByteArray raw =
        message("X-Keywords: Project_A Project_B\nContent-Type: multipart/mixed; boundary=b\n",
                "--b\nContent-Type: text/plain\n\nsee attached\n"
                "--b\nContent-Type: application/pdf; name=report.pdf\nContent-Disposition: "
                "attachment\n\nfirst\n"
                "--b\nContent-Type: application/pdf; name=report.pdf\nContent-Disposition: "
                "attachment\n\nsecond\n"
                "--b\nContent-Type: application/pdf; name=report.pdf\nContent-Disposition: "
                "attachment\n\nthird\n"
                "--b\nContent-Type: application/octet-stream\nContent-Disposition: attachment\n\n" +
                    QByteArray(1234, 'n') + "\n--b--\n");
    const QString folder = m_dir->filePath(
        QStringLiteral("2014/01/2014-01-18 08.16.20Z  Quarterly -report- (attachments)"));
    QVERIFY(QDir().mkpath(folder));
    {
        QFile existing(folder + QStringLiteral("/report 2.pdf"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("kept");
    }
    auto e = engine();
    m_view->printResults = {m_pdf};
    start(*e, raw);
    m_now += 2;
    QTRY_VERIFY(!e->busyDoingSomething());

    auto read = [&](const QString& name) {
        QFile file(folder + u'/' + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    };
    QCOMPARE(read("report.pdf"), QByteArray("first"));
    QCOMPARE(read("report 2.pdf"), QByteArray("kept")); // never overwritten
    QCOMPARE(read("report 3.pdf"), QByteArray("third"));
    QCOMPARE(read("noname 1234").size(), 1234);
    const QString first = folder + QStringLiteral("/report.pdf");
    QCOMPARE(QFileInfo(first).lastModified().toUTC(),
             QDateTime::fromSecsSinceEpoch(1390032980, Qt::UTC));
    QCOMPARE(*OpenMeta::getUserTags(first), (QStringList{"Project A", "Project B"}));
}

QTEST_MAIN(TestRenderEngine)
#include "tst_renderengine.moc"
