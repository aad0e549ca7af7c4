// --version and --help of both executables, as a Linux user types them: answered at once, on
// stdout, with no display and no session bus.

#include <QProcess>
#include <QtTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private:
    struct Output {
        int status = -1;
        QString out;
        QString err;
    };

    static Output run(const QString& program, const QStringList& arguments) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY",
                                 "DBUS_SESSION_BUS_ADDRESS"}) {
            env.remove(QString::fromLatin1(name));
        }
        process.setProcessEnvironment(env);
        process.start(program, arguments);
        if (!process.waitForFinished(20000)) {
            return {};
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

private Q_SLOTS:
    void versionAndHelp() {
        const QString cli = qEnvironmentVariable("TESSALY_CLI_PROGRAM");
        const QString app = qEnvironmentVariable("TESSALY_RENDERBOX_PROGRAM");
        const QString version = QStringLiteral(TESSALY_VERSION);
        QCOMPARE(run(app, {"--version"}).out, "tessaly " + version + "\n");
        QCOMPARE(run(cli, {"--version"}).out, "tessaly-cli " + version + "\n");
        const Output appHelp = run(app, {"--help"});
        QCOMPARE(appHelp.status, 0);
        QVERIFY(appHelp.out.startsWith("usage: tessaly "));

        const Output help = run(cli, {"--help"});
        QCOMPARE(help.status, 0);
        for (const char* command : {"paths", "render", "archive", "verify", "account", "run"}) {
            QVERIFY2(help.out.contains(QStringLiteral("  %1 ").arg(command)), command);
            // Also after other arguments, and without starting anything (render would start
            // a layout engine, run would look for a keyring).
            const Output own = run(cli, {command, "x", "--help"});
            QCOMPARE(own.status, 0);
            QVERIFY2(own.out.startsWith(QStringLiteral("usage: tessaly-cli %1").arg(command)),
                     qPrintable(own.out));
            QCOMPARE(own.err, QString());
        }
        const Output unknown = run(cli, {"frobnicate"});
        QCOMPARE(unknown.status, 1);
        QVERIFY(unknown.err.contains("unknown command frobnicate"));
        QCOMPARE(run(cli, {}).status, 1);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
