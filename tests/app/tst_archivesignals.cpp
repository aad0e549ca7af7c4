#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <unistd.h>

using namespace tessaly;

namespace {

constexpr int kMessages = 40;

// A message with a little HTML to lay out, so that a job of them lasts a few seconds.
QByteArray message(int n) {
    QByteArray html = "<html><body><h1>Signal test " + QByteArray::number(n) + "</h1>";
    for (int p = 0; p < 40; ++p) {
        html += "<p>Paragraph " + QByteArray::number(p) +
                " of a message that is archived while the archiver is told to stop.</p>";
    }
    html += "</body></html>";
    return test::crlfMessage(
        "From: Sender <sender@example.com>\nTo: rcpt@example.com\nSubject: signal message " +
        QByteArray::number(n) + "\nDate: Sat, 18 Jan 2014 08:16:20 +0000\nMessage-ID: <sig" +
        QByteArray::number(n) +
        "@example.com>\nMIME-Version: 1.0\nContent-Type: text/html; charset=utf-8\n\n" + html +
        "\n");
}

// The processes below `root`: its render boxes and whatever they started.
QSet<qint64> descendantsOf(qint64 root) {
    const QHash<qint64, qint64> parentOf = test::processParents();
    QSet<qint64> found;
    bool grew = true;
    while (grew) {
        grew = false;
        for (auto it = parentOf.begin(); it != parentOf.end(); ++it) {
            if ((it.value() == root || found.contains(it.value())) && !found.contains(it.key())) {
                found.insert(it.key());
                grew = true;
            }
        }
    }
    return found;
}

// Render boxes (started with --jsonArgs) whose folder is under `runtime`, whoever their
// parent is now: boxes left behind by an ended launcher are adopted by another process.
QSet<qint64> boxesUnder(const QString& runtime) {
    QSet<qint64> boxes;
    const QByteArray folder = runtime.toUtf8();
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid) {
            continue;
        }
        const QByteArray line = test::processCommandLine(pid);
        if (line.contains("--jsonArgs") && line.contains(folder)) {
            boxes.insert(pid);
        }
    }
    return boxes;
}

QStringList pdfsIn(const QString& folder) {
    QStringList pdfs;
    QDirIterator it(folder, {QStringLiteral("*.pdf")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        pdfs.append(it.next());
    }
    return pdfs;
}

// A whole PDF: its header first and its end-of-file marker near the end.
bool wholePdf(const QString& path) {
    const QByteArray data = test::readFile(path);
    return data.startsWith("%PDF") && data.right(1024).contains("%%EOF");
}

} // namespace

// The real `tessaly-cli archive`, with real render boxes, stopped by signals.
class TestArchiveSignals : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void signalCancelsTheJob_data();
    void signalCancelsTheJob();
    void secondInterruptEndsAtOnce();
    void secondSignalNeedsNoEventLoop();

private:
    // Starts the archive job on the messages; --json when asked.
    void start(bool json);
    // Waits until boxes render: the first PDF is there and the job is not over.
    bool waitUntilRendering();
    // Sends a signal to the job while it runs. Never to anything else: a QProcess that has
    // ended has the id 0, and kill(0, ...) would signal the test's own process group.
    bool send(int signalNumber, bool toGroup = false);
    // Every box of the job and every process they started has ended.
    void verifyBoxesEnd(const QSet<qint64>& before);
    QString stderrText();

    QString m_cli;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_stderr;
};

void TestArchiveSignals::initTestCase() {
    m_cli = qEnvironmentVariable("TESSALY_CLI_PROGRAM");
    if (m_cli.isEmpty()) {
        QSKIP("TESSALY_CLI_PROGRAM is not set");
    }
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        QSKIP("no D-Bus session bus (run the tests under dbus-run-session)");
    }
    QVERIFY2(QFileInfo(m_cli).isExecutable(), qPrintable(m_cli));
    QVERIFY2(QFileInfo(qEnvironmentVariable("TESSALY_RENDERBOX_PROGRAM")).isExecutable(),
             "TESSALY_RENDERBOX_PROGRAM");
}

void TestArchiveSignals::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // The job's own runtime folder, private as the job wants it: its boxes are the processes
    // whose command line names it.
    QVERIFY(QDir().mkpath(m_dir->filePath("run")));
    QVERIFY(QFile::setPermissions(m_dir->filePath("run"), QFileDevice::ReadOwner |
                                                              QFileDevice::WriteOwner |
                                                              QFileDevice::ExeOwner));
    for (int n = 0; n < kMessages; ++n) {
        test::writeFile(m_dir->filePath(QStringLiteral("in/m%1.eml").arg(n)), message(n));
    }
    m_stderr.clear();
}

void TestArchiveSignals::cleanup() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_process.reset();
    // Nothing of a failed test is left running: only processes that name this test's folder.
    for (qint64 pid : boxesUnder(m_dir->filePath("run"))) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    m_dir.reset();
}

void TestArchiveSignals::start(bool json) {
    m_process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", m_dir->filePath("config"));
    environment.insert("XDG_RUNTIME_DIR", m_dir->filePath("run"));
    // Two boxes are enough to have renders in flight, and keep the machine free.
    environment.insert("TESSALY_MAX_RENDER_BOXES", "2");
    m_process->setProcessEnvironment(environment);
    // The job is started as a shell with job control starts it, whatever started the test:
    // in a process group of its own, which its boxes share (as a terminal's Ctrl-C reaches
    // them), and with the signals not ignored (a shell without job control makes a
    // background job ignore SIGINT, and an ignored signal stays ignored in the job).
    m_process->setChildProcessModifier([] {
        ::setpgid(0, 0);
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
            ::signal(signalNumber, SIG_DFL);
        }
    });
    QStringList arguments{"archive", "--dest", m_dir->filePath("out")};
    if (json) {
        arguments << "--json";
    }
    arguments << m_dir->filePath("in");
    m_process->start(m_cli, arguments);
    QVERIFY(m_process->waitForStarted());
}

QString TestArchiveSignals::stderrText() {
    m_stderr += m_process->readAllStandardError();
    return QString::fromUtf8(m_stderr);
}

bool TestArchiveSignals::waitUntilRendering() {
    QDeadlineTimer deadline(40000);
    while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
        if (!pdfsIn(m_dir->filePath("out")).isEmpty()) {
            return true;
        }
        QTest::qWait(20);
    }
    qWarning().noquote() << "no PDF came:" << stderrText();
    return false;
}

bool TestArchiveSignals::send(int signalNumber, bool toGroup) {
    const qint64 pid = m_process->processId();
    return m_process->state() == QProcess::Running && pid > 0 &&
           ::kill(static_cast<pid_t>(toGroup ? -pid : pid), signalNumber) == 0;
}

void TestArchiveSignals::verifyBoxesEnd(const QSet<qint64>& before) {
    const QString runtime = m_dir->filePath("run");
    QDeadlineTimer deadline(10000);
    auto left = [&] {
        QSet<qint64> running;
        for (qint64 pid : boxesUnder(runtime) + before) {
            if (!test::processEnded(pid)) {
                running.insert(pid);
            }
        }
        return running;
    };
    while (!left().isEmpty() && !deadline.hasExpired()) {
        QTest::qWait(50);
    }
    const QSet<qint64> alive = left();
    for (qint64 pid : alive) {
        qWarning().noquote() << "still running:" << pid
                             << test::processCommandLine(pid).replace('\0', ' ');
    }
    QVERIFY(alive.isEmpty());
}

void TestArchiveSignals::signalCancelsTheJob_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("toGroup");
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("rerun");
    QTest::newRow("SIGINT") << SIGINT << false << false << true;
    QTest::newRow("SIGTERM, JSON") << SIGTERM << false << true << false;
    QTest::newRow("SIGHUP") << SIGHUP << false << false << false;
    // Ctrl-C on a terminal reaches the whole foreground process group: the boxes too.
    QTest::newRow("Ctrl-C on a terminal") << SIGINT << true << false << true;
}

// The job is cancelled: its boxes end, the summary says so, the exit status is 128 + the
// signal, no PDF is left half written, and a second run archives what the first did not.
void TestArchiveSignals::signalCancelsTheJob() {
    QFETCH(int, signalNumber);
    QFETCH(bool, toGroup);
    QFETCH(bool, json);
    QFETCH(bool, rerun);
    start(json);
    QVERIFY(waitUntilRendering());
    const QSet<qint64> processes = descendantsOf(m_process->processId());
    QVERIFY2(!boxesUnder(m_dir->filePath("run")).isEmpty(), "no render box is running");

    QElapsedTimer clock;
    clock.start();
    QVERIFY(send(signalNumber, toGroup));
    QVERIFY(m_process->waitForFinished(30000));
    qInfo() << "ended" << clock.elapsed() << "ms after the signal";
    QCOMPARE(m_process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_process->exitCode(), 128 + signalNumber);

    const QStringList out =
        QString::fromUtf8(m_process->readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    const QString err = stderrText();
    QVERIFY2(!out.isEmpty(), qPrintable(err));
    QVERIFY2(err.contains("received, cancelling the job"), qPrintable(err));
    int made = 0;
    QString report; // the error report the summary names, if any
    if (json) {
        const QJsonObject summary = QJsonDocument::fromJson(out.last().toUtf8()).object();
        QCOMPARE(summary.value("status").toString(), QString("Cancelled"));
        QCOMPARE(summary.value("found").toInt(), kMessages);
        made = summary.value("pdfs_made").toInt();
        report = summary.value("error_report").toString();
    } else {
        const QRegularExpression line("^archived (\\d+) messages: found (\\d+), .*; Cancelled$");
        const QRegularExpressionMatch match = line.match(out.last());
        QVERIFY2(match.hasMatch(), qPrintable(out.last()));
        QCOMPARE(match.captured(2).toInt(), kMessages);
        made = match.captured(1).toInt();
        const QString listed = QStringLiteral("errors are listed in ");
        if (out.size() > 1 && out[out.size() - 2].startsWith(listed)) {
            report = out[out.size() - 2].mid(listed.size());
        }
    }
    QVERIFY2(made < kMessages, "the job was over before the signal came");
    QVERIFY2(report.isEmpty() || QFileInfo(report).isFile(), qPrintable(report));

    verifyBoxesEnd(processes);
    // Whatever is at a final path is whole; a render cut short left no PDF there.
    const QStringList pdfs = pdfsIn(m_dir->filePath("out"));
    QVERIFY(!pdfs.isEmpty());
    for (const QString& pdf : pdfs) {
        QVERIFY2(wholePdf(pdf), qPrintable(pdf));
    }
    QVERIFY2(pdfs.size() < kMessages, "every message was archived before the signal");

    if (rerun) {
        // What was left is archived by the next run, and only that.
        start(false);
        QVERIFY(m_process->waitForFinished(60000));
        const QString again = QString::fromUtf8(m_process->readAllStandardOutput());
        QVERIFY2(m_process->exitCode() == 0, qPrintable(again + stderrText()));
        QVERIFY2(again.contains(QStringLiteral("archived %1 messages").arg(kMessages)),
                 qPrintable(again));
        const QStringList all = pdfsIn(m_dir->filePath("out"));
        QCOMPARE(all.size(), kMessages);
        for (const QString& pdf : all) {
            QVERIFY2(wholePdf(pdf), qPrintable(pdf));
        }
    }
}

// Ctrl-C twice: the second does not wait for the job to wind down, and the boxes still end.
void TestArchiveSignals::secondInterruptEndsAtOnce() {
    start(false);
    QVERIFY(waitUntilRendering());
    const QSet<qint64> processes = descendantsOf(m_process->processId());
    QVERIFY(send(SIGINT));
    // The first is being dealt with...
    QTRY_VERIFY_WITH_TIMEOUT(stderrText().contains("received, cancelling the job") ||
                                 m_process->state() == QProcess::NotRunning,
                             10000);
    // ... and the second ends it (unless the first was quicker still).
    QElapsedTimer clock;
    clock.start();
    const bool sent = send(SIGINT);
    QVERIFY(m_process->waitForFinished(3000));
    qInfo() << "ended" << clock.elapsed() << "ms after the second interrupt"
            << (sent ? "" : "(it had ended before)");
    QCOMPARE(m_process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_process->exitCode(), 130);
    verifyBoxesEnd(processes);
    for (const QString& pdf : pdfsIn(m_dir->filePath("out"))) {
        QVERIFY2(wholePdf(pdf), qPrintable(pdf));
    }
}

// The second signal is acted on in the handler itself: held stopped, the process gets SIGHUP
// and SIGINT together, and ends on the second of them before its event loop ever hears of the
// first.
void TestArchiveSignals::secondSignalNeedsNoEventLoop() {
    start(false);
    QVERIFY(waitUntilRendering());
    const QSet<qint64> processes = descendantsOf(m_process->processId());
    QVERIFY(send(SIGSTOP));
    QVERIFY(send(SIGHUP));
    QVERIFY(send(SIGINT));
    QVERIFY(send(SIGCONT));
    QVERIFY(m_process->waitForFinished(3000));
    QCOMPARE(m_process->exitStatus(), QProcess::NormalExit);
    // Two threads may take the two signals side by side: then either is the second.
    const int status = m_process->exitCode();
    QVERIFY2(status == 128 + SIGINT || status == 128 + SIGHUP, qPrintable(QString::number(status)));
    // Ended before the job could be cancelled: no summary.
    const QByteArray out = m_process->readAllStandardOutput();
    QVERIFY2(!out.contains("archived "), out.constData());
    verifyBoxesEnd(processes);
}

QTEST_GUILESS_MAIN(TestArchiveSignals)
#include "tst_archivesignals.moc"
