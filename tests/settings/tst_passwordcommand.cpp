#include "settings/passwordcommand.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QTest>

#include <optional>

using namespace tessaly;
using namespace std::chrono_literals;

class TestPasswordCommand : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void firstLineIsThePassword();
    void failuresSayWhyButNeverShowOutput_data();
    void failuresSayWhyButNeverShowOutput();
    void timeoutEndsTheWholeCommand();
    void blockingRun();
};

namespace {

std::optional<PasswordCommandResult> runAsync(const QString& command,
                                              std::chrono::milliseconds timeout = 5s) {
    std::optional<PasswordCommandResult> result;
    PasswordCommand task(command);
    task.setTimeout(timeout);
    QObject::connect(&task, &PasswordCommand::finished,
                     [&result](const PasswordCommandResult& done) { result = done; });
    task.start();
    if (!QTest::qWaitFor([&result] { return result.has_value(); }, 10000)) {
        return std::nullopt;
    }
    return result;
}

} // namespace

void TestPasswordCommand::firstLineIsThePassword() {
    // CR LF is taken off, inner and surrounding spaces are the password's own.
    std::optional<PasswordCommandResult> result =
        runAsync(QStringLiteral("printf ' pass word \\r\\nsecond line\\n'"));
    QVERIFY(result);
    QVERIFY2(result->ok(), qPrintable(result->error));
    QCOMPARE(result->password, QStringLiteral(" pass word "));

    // No line break at all; UTF-8.
    result = runAsync(QStringLiteral("printf 'gr\\303\\274n'"));
    QVERIFY(result && result->ok());
    QCOMPARE(result->password, QStringLiteral("grün"));

    // stdin is closed: a command that reads it gets end of file at once instead of waiting.
    QElapsedTimer timer;
    timer.start();
    result = runAsync(QStringLiteral("cat >/dev/null; echo after-stdin"), 3s);
    QVERIFY(result);
    QVERIFY2(result->ok(), qPrintable(result->error));
    QCOMPARE(result->password, QStringLiteral("after-stdin"));
    QVERIFY(timer.elapsed() < 2000);
}

void TestPasswordCommand::failuresSayWhyButNeverShowOutput_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expected");
    QTest::newRow("exit status")
        << "echo stdout-secret; echo 'gpg: decryption failed' >&2; echo later >&2; exit 3"
        << "The password command failed with exit status 3: gpg: decryption failed";
    QTest::newRow("exit status, silent") << "echo stdout-secret; exit 1"
                                         << "The password command failed with exit status 1";
    QTest::newRow("empty first line")
        << "echo; echo stdout-secret"
        << "The password command printed no password on its first line";
    QTest::newRow("no output") << "true"
                               << "The password command printed no password on its first line";
    QTest::newRow("signal") << "echo stdout-secret; kill -9 $$"
                            << "The password command was ended by a signal";
    QTest::newRow("not found") << "no-such-password-tool-7f3e"
                               << "The password command failed with exit status 127: ";
    QTest::newRow("endless line") << "head -c 200000 /dev/zero | tr '\\0' x"
                                  << "The password command printed a first line of 64 KiB";
    QTest::newRow("empty command") << "  "
                                   << "No password command is set.";
}

void TestPasswordCommand::failuresSayWhyButNeverShowOutput() {
    QFETCH(QString, command);
    QFETCH(QString, expected);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^The password|^No ")));
    const std::optional<PasswordCommandResult> result = runAsync(command);
    QVERIFY(result);
    QVERIFY(!result->ok());
    QVERIFY(result->password.isEmpty());
    QVERIFY2(result->error.startsWith(expected), qPrintable(result->error));
    QVERIFY(!result->error.contains(QStringLiteral("stdout-secret")));
    QVERIFY(!result->error.contains(QStringLiteral("later")));
}

void TestPasswordCommand::timeoutEndsTheWholeCommand() {
    // A pipeline: the shell waits for both, so only ending its whole group ends the sleep.
    const QString command = QStringLiteral("echo partial-secret; sleep 30.25 | cat");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^The password")));
    QElapsedTimer timer;
    timer.start();
    const std::optional<PasswordCommandResult> result = runAsync(command, 300ms);
    QVERIFY(result);
    QVERIFY(timer.elapsed() < 5000);
    QCOMPARE(result->error,
             QStringLiteral("The password command gave no password within 0.3 s and was stopped"));

    auto sleepRuns = [] {
        const QList<qint64> pids = test::processParents().keys();
        for (qint64 pid : pids) {
            if (test::processCommandLine(pid) == QByteArray("sleep\0"
                                                            "30.25\0",
                                                            12) &&
                !test::processEnded(pid)) {
                return true;
            }
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(!sleepRuns(), 3000);
}

void TestPasswordCommand::blockingRun() {
    PasswordCommandResult result = PasswordCommand::run(QStringLiteral("echo from-run"));
    QVERIFY2(result.ok(), qPrintable(result.error));
    QCOMPARE(result.password, QStringLiteral("from-run"));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^The password")));
    result = PasswordCommand::run(QStringLiteral("sleep 5"), 200ms);
    QVERIFY(!result.ok());
    QVERIFY(result.error.contains(QStringLiteral("within 0.2 s")));
}

QTEST_GUILESS_MAIN(TestPasswordCommand)
#include "tst_passwordcommand.moc"
