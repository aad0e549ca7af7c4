#include "archive/archivecontroller.h"
#include "fakeclock.h"
#include "fakewebview.h"
#include "platform/bus/notificationcenter.h"
#include "platform/keychain/keychain.h"
#include "platform/prefs/preferencestore.h"
#include "render/soundfiles.h"
#include "renderbox/boxprotocol.h"
#include "renderbox/remoterender.h"
#include "renderbox/renderbox.h"
#include "renderbox/renderboxpool.h"
#include "settings/accountkeys.h"
#include "settings/emailsettings.h"
#include "settings/fxkeychain.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace tessaly;

namespace {

QByteArray message(int n) {
    return test::crlfMessage("From: a@example.com\nTo: b@example.com\nSubject: box message " +
                             QByteArray::number(n) + "\nDate: Sat, 18 Jan 2014 08:16:20 +0000\n\n" +
                             QByteArray(400, 'w') + "\n");
}

bool waitIdle(RenderBoxClient& box, int ms = 120000) {
    QDeadlineTimer deadline(ms);
    while (box.busyWorkingOnRender() && !deadline.hasExpired()) {
        QTest::qWait(20);
    }
    return !box.busyWorkingOnRender();
}

} // namespace

// Real render boxes: the tessaly executable started as a second process, over the session bus.
class TestRenderBox : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void rendersAndKeepsSecretsOut();
    void killedBoxLeavesEmergencyCopy();
    void quitsOnlyForItsOwnId();
    void replacedAfter31Renders();
    void replacedAfterItsTime();
    void boxThatCannotStartKeepsACopy();
    void unwritableRuntimeFolderIsReported();
    void boxAnswersAJobItCannotRead();
    void controllerCountsAndNames();
    void jobsShareOneBudgetOfBoxes();
    void startAllStartsEachSourceOnce();
    void boxesEndWithTheirLauncher();

private:
    std::unique_ptr<RemoteRender> box();
    JobOptions options() const;
    QString pdfFor(int n) const {
        return m_dir->filePath(QStringLiteral("dest/Work/box message %1.pdf").arg(n));
    }

    friend struct Controller;
    NotificationCenter* m_center = nullptr;
    QString m_program;
    std::unique_ptr<QTemporaryDir> m_dir;
};

// A job list over a budget of two boxes, with its own preferences.
struct Controller {
    Controller(const TestRenderBox& test, int maxJobs)
        : store(test.m_dir->filePath("prefs.conf"))
        , boxes(test.m_center, test.m_dir->filePath("run"), test.m_program, 2)
        , controller(&store, test.m_center,
                     RenderTool::boxEnvironment(&boxes, test.m_dir->filePath("run/split")),
                     [general = test.m_dir->filePath("general")] { return general; }) {
        store.registerStandardDefaults();
        store.setValue("maxNumRenderJobs", maxJobs);
    }
    PreferenceStore store;
    RenderBoxPool boxes;
    ArchiveController controller;
};

void TestRenderBox::initTestCase() {
    m_center = NotificationCenter::distributed();
    if (!m_center->isConnected()) {
        QSKIP("no D-Bus session bus (run the tests under dbus-run-session)");
    }
    m_program = qEnvironmentVariable("TESSALY_RENDERBOX_PROGRAM");
    QVERIFY2(QFileInfo(m_program).isExecutable(), qPrintable(m_program));
}

void TestRenderBox::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(m_dir->filePath("run")));
}

JobOptions TestRenderBox::options() const {
    JobOptions o;
    o.destFolder = m_dir->filePath("dest");
    o.pdfFormat = "__subject__.pdf";
    o.attachmentFormat = "none";
    o.emlFormat = "none";
    o.password = "hunter2-secret";
    o.accessToken = "token-secret";
    return o;
}

std::unique_ptr<RemoteRender> TestRenderBox::box() {
    return std::make_unique<RemoteRender>(m_center, m_dir->filePath("run"), m_program);
}

void TestRenderBox::rendersAndKeepsSecretsOut() {
    const JobOptions o = options();
    auto client = box();
    QSignalSpy notes(m_center, &NotificationCenter::notified);
    client->renderPDF(message(1), "Work", QString(), o, "job", QString(), {});

    // The job file exists only for the user, and carries no password. It is written off the
    // main thread, while the box is still starting.
    QStringList jobs;
    QTRY_VERIFY_WITH_TIMEOUT(
        !(jobs = QDir(client->renderboxFolder()).entryList({"*.json"}, QDir::Files)).isEmpty(),
        5000);
    QCOMPARE(jobs.size(), 1);
    const QString jobFile = client->renderboxFolder() + u'/' + jobs.first();
    QFile file(jobFile);
    if (file.open(QIODevice::ReadOnly)) { // the box may have finished with it already
        const QByteArray text = file.readAll();
        QVERIFY(!text.contains("password"));
        QVERIFY(!text.contains("hunter2"));
        struct stat st {};
        if (::stat(QFile::encodeName(jobFile).constData(), &st) == 0) {
            QCOMPARE(st.st_mode & 0777, 0600u);
        }
    }
    // Boxes are launched a turn of the event loop apart: the job may be there before its box.
    QByteArray args;
    QTRY_VERIFY_WITH_TIMEOUT(!(args = test::processCommandLine(client->boxProcessId())).isEmpty(),
                             10000);
    QVERIFY(args.contains("--jsonArgs"));
    QVERIFY(!args.contains("password"));
    QVERIFY(!args.contains("hunter2"));
    QVERIFY(!args.contains("token-secret"));
    // Nothing of the job is in the process list: a box serves any job.
    QVERIFY(!args.contains(o.destFolder.toUtf8()));

    QVERIFY(waitIdle(*client));
    QVERIFY(!client->failed());
    QVERIFY(SoundFiles::pdfFilelooksOK(pdfFor(1)));
    bool counted = false;
    for (const QList<QVariant>& note : notes) {
        counted |=
            note.at(0).toString() == "rb_anotherPDFMade" &&
            note.at(1).toString() == boxprotocol::sealed(boxprotocol::launcherToken(), "job");
    }
    QVERIFY(counted);
    QVERIFY(QDir(client->renderboxFolder()).entryList({"*.json"}, QDir::Files).isEmpty());
}

void TestRenderBox::killedBoxLeavesEmergencyCopy() {
    const JobOptions o = options();
    auto client = box();
    client->renderPDF(message(2), "Work", QString(), o, "job", QString(), {});
    QTRY_VERIFY(client->boxProcessId() > 0); // launched on the next turn of the event loop
    ::kill(static_cast<pid_t>(client->boxProcessId()), SIGKILL);
    QVERIFY(waitIdle(*client, 10000));
    QVERIFY(client->failed());
    QFile copy(m_dir->filePath("dest/Work/box message 2.eml"));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), message(2));
    QVERIFY(!QFileInfo::exists(pdfFor(2)));

    // The next render starts a new box.
    client->renderPDF(message(3), "Work", QString(), o, "job", QString(), {});
    QVERIFY(waitIdle(*client));
    QCOMPARE(client->launches(), 2);
    QVERIFY(SoundFiles::pdfFilelooksOK(pdfFor(3)));
}

void TestRenderBox::quitsOnlyForItsOwnId() {
    const JobOptions o = options();
    auto client = box();
    client->renderPDF(message(4), "Work", QString(), o, "job", QString(), {});
    QVERIFY(waitIdle(*client));
    const qint64 pid = client->boxProcessId();
    QVERIFY(pid > 0);
    // Orders for another box, orders without this process's token, and another application's
    // "quit all" are all ignored.
    const QString token = boxprotocol::launcherToken();
    m_center->post("rb_quit_", boxprotocol::sealed(token, "SOME-OTHER-BOX"));
    m_center->post("rb_quit_", client->renderboxID());
    m_center->post("rb_quit_all", "all");
    m_center->post("rb_quit_all", boxprotocol::sealed("another-application", "all"));
    // The next render's order reaches the box after those: a box that obeyed one of them
    // would be gone before it, and the render would need a new box.
    client->renderPDF(message(5), "Work", QString(), o, "job", QString(), {});
    QVERIFY(waitIdle(*client));
    QVERIFY(QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
    QCOMPARE(client->boxProcessId(), pid);
    QCOMPARE(client->launches(), 1);
    QVERIFY(SoundFiles::pdfFilelooksOK(pdfFor(5)));
    m_center->post("rb_quit_all", boxprotocol::sealed(token, "all"));
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(QStringLiteral("/proc/%1/cmdline").arg(pid)) ||
                                 test::processCommandLine(pid).isEmpty(),
                             10000);
}

void TestRenderBox::boxThatCannotStartKeepsACopy() {
    const JobOptions o = options();
    RemoteRender client(m_center, m_dir->filePath("run"), m_dir->filePath("no-such-program"));
    const QString name = m_dir->filePath("dest/Work/claimed 3.pdf");
    QVERIFY(QDir().mkpath(m_dir->filePath("dest/Work")));
    client.renderPDF(message(6), "Work", QString(), o, "job", QString(), {name, 3, false});
    QVERIFY(waitIdle(client, 10000));
    QVERIFY(client.failed());
    const std::optional<RenderBoxResult> result = client.takeResult();
    QVERIFY(result);
    QCOMPARE(result->outcome, MessageToHTMLToPDF::Outcome::EmergencyEml);
    QVERIFY2(result->reason.contains("could not start"), qPrintable(result->reason));
    // The copy is at the message's own (numbered) name, and is recorded with its digest.
    QFile copy(m_dir->filePath("dest/Work/claimed 3.eml"));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), message(6));
    QCOMPARE(result->files.size(), size_t(1));
    QCOMPARE(result->files[0].size, qint64(message(6).size()));
}

void TestRenderBox::unwritableRuntimeFolderIsReported() {
    const JobOptions o = options();
    auto client = box();
    // The box's folder becomes a file: nothing can be written into it, as on a full disk.
    QVERIFY(QDir(client->renderboxFolder()).removeRecursively());
    QFile blocker(client->renderboxFolder());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    client->renderPDF(message(7), "Work", QString(), o, "job", QString(), {});
    QVERIFY(waitIdle(*client, 10000));
    const std::optional<RenderBoxResult> result = client->takeResult();
    QVERIFY(result);
    QCOMPARE(result->outcome, MessageToHTMLToPDF::Outcome::EmergencyEml);
    QVERIFY2(!result->reason.isEmpty(), "the reason is given");
    QFile copy(m_dir->filePath("dest/Work/box message 7.eml"));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), message(7));
    QFile::remove(client->renderboxFolder());
}

void TestRenderBox::boxAnswersAJobItCannotRead() {
    // The box side, in this process: a damaged job file is answered, not dropped, so the
    // application never waits for it.
    const QString folder = m_dir->filePath("run/box");
    QVERIFY(QDir().mkpath(folder));
    const QString token = boxprotocol::launcherToken();
    test::writeFile(folder + "/" + boxprotocol::launchFile,
                    "{\"" + boxprotocol::launchToken.toUtf8() + "\": \"" + token.toUtf8() + "\"}");
    test::writeFile(folder + "/JOB-1.json", "{ not json");
    QSignalSpy notes(m_center, &NotificationCenter::notified);
    RenderBox box(
        QJsonObject{{boxprotocol::launchBoxId, "BOX-1"}, {boxprotocol::launchBoxFolder, folder}},
        m_center, [] { return std::make_unique<test::FakeWebView>(); });
    QVERIFY(box.startListeningAsRenderbox());
    QTRY_VERIFY(std::any_of(notes.begin(), notes.end(), [&](const QList<QVariant>& note) {
        return note.at(0).toString() == "rb_done_BOX-1" &&
               note.at(1).toString() == boxprotocol::sealed(token, "JOB-1");
    }));
    const std::optional<RenderBoxResult> result =
        RemoteRender::readResult(folder + "/JOB-1" + boxprotocol::resultSuffix);
    QVERIFY(result);
    QCOMPARE(result->outcome, MessageToHTMLToPDF::Outcome::Failed);
    QVERIFY(result->retry);
    QVERIFY2(result->reason.contains("damaged"), qPrintable(result->reason));
    QVERIFY(!QFileInfo::exists(folder + "/JOB-1.json"));

    // Without its launcher's token a box takes no orders at all.
    QFile::remove(folder + "/" + boxprotocol::launchFile);
    RenderBox stranger(
        QJsonObject{{boxprotocol::launchBoxId, "BOX-2"}, {boxprotocol::launchBoxFolder, folder}},
        m_center, [] { return std::make_unique<test::FakeWebView>(); });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("found no launch token"));
    QVERIFY(!stranger.startListeningAsRenderbox());
}

void TestRenderBox::replacedAfter31Renders() {
    const JobOptions o = options();
    auto client = box();
    for (int n = 100; n < 100 + RemoteRender::kMaxRendersPerBox; ++n) {
        client->renderPDF(message(n), "Work", QString(), o, "job", QString(), {});
        QVERIFY(waitIdle(*client));
    }
    QCOMPARE(client->launches(), 1);
    const qint64 first = client->boxProcessId();
    client->renderPDF(message(200), "Work", QString(), o, "job", QString(), {});
    QTRY_COMPARE(client->launches(), 2);
    QVERIFY(client->boxProcessId() != first);
    QVERIFY(waitIdle(*client));
    QVERIFY(SoundFiles::pdfFilelooksOK(pdfFor(200)));
}

void TestRenderBox::replacedAfterItsTime() {
    const JobOptions o = options();
    test::FakeClock clock;
    RemoteRender client(m_center, m_dir->filePath("run"), m_program, clock);
    const qint64 life = qint64(RemoteRender::kMaxBoxSeconds) * 1000;
    client.renderPDF(message(600), "Work", QString(), o, "job", QString(), {});
    QVERIFY(waitIdle(client));
    clock.advance(life - 1);
    client.renderPDF(message(601), "Work", QString(), o, "job", QString(), {});
    QVERIFY(waitIdle(client));
    QCOMPARE(client.launches(), 1);

    // Idle when its time is up, it ends at once; the next render starts a new one.
    clock.advance(1);
    QVERIFY(!client.running());
    client.renderPDF(message(602), "Work", QString(), o, "job", QString(), {});
    QVERIFY(waitIdle(client));
    QCOMPARE(client.launches(), 2);

    // Busy when its time is up, it finishes the render, and the next one starts a new box.
    client.renderPDF(message(603), "Work", QString(), o, "job", QString(), {});
    clock.advance(life);
    QVERIFY(waitIdle(client));
    QVERIFY(client.running());
    client.renderPDF(message(604), "Work", QString(), o, "job", QString(), {});
    QVERIFY(waitIdle(client));
    QCOMPARE(client.launches(), 3);
    for (int n = 600; n <= 604; ++n) {
        QVERIFY2(SoundFiles::pdfFilelooksOK(pdfFor(n)), qPrintable(pdfFor(n)));
    }
}

void TestRenderBox::controllerCountsAndNames() {
    Controller setup(*this, 1);
    PreferenceStore& store = setup.store;
    ArchiveController& controller = setup.controller;

    QCOMPARE(ArchiveController::oneOffJobName(3, "/x/Out", "/g/General"),
             QString("3 EML files to Out"));
    QCOMPARE(ArchiveController::oneOffJobName(3, "", "/g/General"),
             QString("3 EML files to General"));

    const QString in = m_dir->filePath("in");
    QVERIFY(QDir().mkpath(in));
    for (int n = 1; n <= 2; ++n) {
        QFile file(QStringLiteral("%1/m%2.eml").arg(in).arg(n));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(message(300 + n));
    }
    // Three jobs with one slot; the first two share their name (the same files dropped on the
    // same folder twice). Each waits for the one before, and each runs.
    RenderTool* first = controller.startEMLJob({in}, m_dir->filePath("picked"), QString());
    RenderTool* twin = controller.startEMLJob({in}, m_dir->filePath("picked"), QString());
    RenderTool* named = controller.startEMLJob({in}, m_dir->filePath("other"), "named");
    QVERIFY(first && twin && named);
    QCOMPARE(first->jobName(), QString("1 EML files to picked"));
    QCOMPARE(twin->jobName(), first->jobName());
    QVERIFY(!first->waiting());
    QVERIFY(twin->waiting() && named->waiting());
    QSignalSpy finished(&controller, &ArchiveController::jobFinished);
    QVERIFY(finished.wait(120000));
    QCOMPARE(finished.first().first().value<RenderTool*>(), first);
    QCOMPARE(controller.numDoneThisSession("1 EML files to picked"), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!twin->waiting(), 5000);
    QVERIFY(finished.wait(120000));
    QCOMPARE(finished.last().first().value<RenderTool*>(), twin);
    QCOMPARE(twin->figures().alreadyArchived, 2);
    QVERIFY(store.value("1 EML files to picked__LastFinished").toDateTime().isValid());
    QTRY_VERIFY_WITH_TIMEOUT(!named->waiting(), 5000);
    controller.stopArchiving("named");
    QVERIFY(controller.renderJobs().isEmpty());
    QVERIFY(!store.isStored("named__LastFinished")); // a stopped job has not finished
}

// Start-all (and the schedule) starts every stored source that is not running yet; an account
// that cannot sign in starts nothing and says why.
void TestRenderBox::startAllStartsEachSourceOnce() {
    Controller setup(*this, 1);
    ArchiveController& controller = setup.controller;
    SecretServiceKeychain noKeyring; // the test's bus runs none: every lookup fails at once
    FXKeychain keychain(std::shared_ptr<Keychain>(&noKeyring, [](Keychain*) {}),
                        FXKeychain::applicationService());
    EmailSettings accounts(setup.store, keychain);
    controller.setAccounts(&accounts);
    const QString in = m_dir->filePath("source");
    test::writeFile(in + "/m1.eml", message(500));
    setup.store.setValue(accountkeys::folderItems, QStringList{in, QString(), in});
    setup.store.setValue(accountkeys::emailAccounts, QStringList{"nopass@example.test"});
    QCOMPARE(controller.emailANDFolderAccounts(), QStringList({"nopass@example.test", in}));

    QSignalSpy notStarted(&controller, &ArchiveController::sourceNotStarted);
    QSignalSpy finished(&controller, &ArchiveController::jobFinished);
    controller.startArchiving();
    QCOMPARE(controller.renderJobs().size(), 1);
    QCOMPARE(controller.renderJobs().first()->jobName(), in);
    // The keyring answers later: the window does not wait for it.
    QTRY_COMPARE(notStarted.size(), 1);
    QCOMPARE(notStarted.first().first().toString(), QString("nopass@example.test"));
    // The schedule while the folder's job runs: nothing is started twice.
    Q_EMIT controller.scheduler().autoJobsDue();
    QCOMPARE(controller.renderJobs().size(), 1);
    QTRY_COMPARE(notStarted.size(), 2);
    QVERIFY(finished.wait(120000));
    QTRY_VERIFY(controller.renderJobs().isEmpty());
    QVERIFY(setup.store.value(in + "__LastFinished").toDateTime().isValid());

    // An account stopped while its password command runs gets no job afterwards. Another
    // account's command, started after it and as slow, answers after it would have.
    bool stoppedGotAJob = false;
    bool otherGotAJob = false;
    connect(&controller, &ArchiveController::jobListChanged, this, [&] {
        stoppedGotAJob = stoppedGotAJob || controller.renderToolForjobName("nopass@example.test");
        otherGotAJob = otherGotAJob || controller.renderToolForjobName("other@example.test");
    });
    accounts.setPasswordCommand("nopass@example.test", "sleep 1; echo pw");
    accounts.setPasswordCommand("other@example.test", "sleep 1; echo pw");
    controller.startArchiving("nopass@example.test");
    controller.startArchiving("nopass@example.test"); // once is enough
    controller.stopArchiving("nopass@example.test");
    QCOMPARE(notStarted.size(), 3);
    QCOMPARE(notStarted.last().at(1).toString(), QString("stopped"));
    controller.startArchiving("other@example.test");
    QTRY_VERIFY_WITH_TIMEOUT(otherGotAJob, 20000);
    QVERIFY(!stoppedGotAJob);
    controller.stopArchiving("other@example.test");
}

void TestRenderBox::jobsShareOneBudgetOfBoxes() {
    Controller setup(*this, 2);
    RenderBoxPool& boxes = setup.boxes;
    ArchiveController& controller = setup.controller;

    QStringList folders;
    for (int job = 0; job < 2; ++job) {
        const QString in = m_dir->filePath(QStringLiteral("in%1").arg(job));
        for (int n = 0; n < 6; ++n) {
            test::writeFile(QStringLiteral("%1/m%2.eml").arg(in).arg(n),
                            message(400 + job * 10 + n));
        }
        folders.append(in);
    }
    // Two jobs started together, each with its own destination (so its own job options):
    // the boxes serve both, and there are never more of them than the budget.
    QList<std::pair<JobFigures, int>> finished; // figures and engines of each finished job
    connect(&controller, &ArchiveController::jobFinished, this, [&finished](RenderTool* job) {
        finished.append({job->figures(), job->engineCount()});
    });
    RenderTool* first = controller.startEMLJob({folders[0]}, m_dir->filePath("out0"), "first");
    RenderTool* second = controller.startEMLJob({folders[1]}, m_dir->filePath("out1"), "second");
    QVERIFY(first && second);
    QVERIFY(!first->waiting() && !second->waiting());
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 180000);
    for (const auto& [figures, engines] : finished) {
        QCOMPARE(figures.pdfsMade, 6);
        QVERIFY(engines <= boxes.capacity() + 1);
    }
    QVERIFY(boxes.peakLiveProcesses() >= 1);
    QVERIFY2(boxes.peakLiveProcesses() <= 2,
             qPrintable(QString::number(boxes.peakLiveProcesses())));
    QVERIFY(boxes.launches() <= 2);
    for (const char* out : {"out0", "out1"}) {
        int pdfs = 0;
        for (QDirIterator it(m_dir->filePath(out), {"*.pdf"}, QDir::Files,
                             QDirIterator::Subdirectories);
             it.hasNext(); it.next()) {
            ++pdfs;
        }
        QCOMPARE(pdfs, 6);
    }
}

// The render boxes (processes started with --jsonArgs) whose parent is `parent`.
QList<qint64> boxesOf(qint64 parent) {
    QList<qint64> boxes;
    const QHash<qint64, qint64> parentOf = test::processParents();
    for (auto it = parentOf.cbegin(); it != parentOf.cend(); ++it) {
        if (it.value() == parent && test::processCommandLine(it.key()).contains("--jsonArgs")) {
            boxes.append(it.key());
        }
    }
    return boxes;
}

void TestRenderBox::boxesEndWithTheirLauncher() {
    const QString cli = qEnvironmentVariable("TESSALY_CLI_PROGRAM");
    if (cli.isEmpty()) {
        QSKIP("TESSALY_CLI_PROGRAM is not set");
    }
    const QString in = m_dir->filePath("in");
    for (int n = 0; n < 6; ++n) {
        test::writeFile(QStringLiteral("%1/m%2.eml").arg(in).arg(n), message(500 + n));
    }
    QProcess launcher;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", m_dir->filePath("config"));
    launcher.setProcessEnvironment(environment);
    launcher.start(cli, {"archive", "--dest", m_dir->filePath("out"), in});
    QVERIFY(launcher.waitForStarted());
    QList<qint64> boxes;
    QTRY_VERIFY_WITH_TIMEOUT(!(boxes = boxesOf(launcher.processId())).isEmpty(), 30000);
    // Killed outright: it can tell nobody, yet its boxes end.
    ::kill(static_cast<pid_t>(launcher.processId()), SIGKILL);
    QVERIFY(launcher.waitForFinished(5000));
    for (qint64 box : boxes) {
        QTRY_VERIFY_WITH_TIMEOUT(test::processEnded(box), 10000);
    }
}

QTEST_GUILESS_MAIN(TestRenderBox)
#include "tst_renderbox.moc"
