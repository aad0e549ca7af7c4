// Crash reports: a child process installs the reporter and crashes for real; a report is
// written only with the user's consent, once per crash, and the child still dies by its signal.
// Also when the application asks for that consent.

#include "app/crashreporter.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

using tessaly::PreferenceStore;
namespace prefkeys = tessaly::prefkeys;

class TestCrashReporter : public QObject {
    Q_OBJECT

private:
    struct Crash {
        bool finished = false;
        QProcess::ExitStatus status = QProcess::NormalExit;
        int code = -1;
        QString out;
        QString err;
    };

    static Crash runHelper(const QString& stateHome, const QString& preferences,
                           const QString& role, const QString& mode) {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", stateHome);
        // The sanitizers would take these signals for their own reports.
        env.insert("ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:"
                                   "handle_sigill=0:handle_abort=0:detect_leaks=0:"
                                   "detect_stack_use_after_return=0");
        process.setProcessEnvironment(env);
        process.start(TESSALY_CRASH_HELPER, {preferences, role, mode});
        Crash crash;
        crash.finished = process.waitForFinished(60000);
        crash.status = process.exitStatus();
        crash.code = process.exitCode();
        crash.out = QString::fromUtf8(process.readAllStandardOutput());
        crash.err = QString::fromUtf8(process.readAllStandardError());
        return crash;
    }

    static int modeBits(const QString& path) {
        struct stat info {};
        return ::stat(QFile::encodeName(path).constData(), &info) == 0
                   ? static_cast<int>(info.st_mode & 07777)
                   : -1;
    }

    static QString reportFolder(const QString& stateHome) { return stateHome + "/tessaly/crashes"; }

private Q_SLOTS:
    void crashesWriteOneReportWithConsent_data() {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("cause");
        QTest::addColumn<QString>("frame");
        QTest::newRow("invalid access") << "app"
                                        << "segv" << SIGSEGV << "signal: 11 SIGSEGV"
                                        << "crashhelper_touchForbiddenPage";
        // Only an alternate signal stack leaves room for the handler here.
        QTest::newRow("stack overflow, render box") << "box"
                                                    << "overflow" << SIGSEGV << "signal: 11 SIGSEGV"
                                                    << "crashhelper";
        QTest::newRow("uncaught exception")
            << "app"
            << "exception" << SIGABRT
            << "uncaught exception: std::runtime_error: the helper's deliberate failure"
            << "crashhelper_throwUncaught";
    }

    void crashesWriteOneReportWithConsent() {
        QFETCH(QString, role);
        QFETCH(QString, mode);
        QFETCH(int, signal);
        QFETCH(QString, cause);
        QFETCH(QString, frame);
        QTemporaryDir dir;
        const QString preferences = dir.filePath("Tessaly.conf");
        {
            PreferenceStore store(preferences);
            store.setValue(prefkeys::crashReportsAllowed, true);
            QVERIFY(store.sync());
        }
        const QString stateHome = dir.filePath("state");
        const Crash crash = runHelper(stateHome, preferences, role, mode);
        QVERIFY(crash.finished);
        QCOMPARE(crash.out, "installed\n");
        QCOMPARE(crash.status, QProcess::CrashExit);
        QCOMPARE(crash.code, signal);

        const QDir folder(reportFolder(stateHome));
        QCOMPARE(modeBits(folder.path()), 0700);
        const QStringList reports = folder.entryList(QDir::Files);
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports.first().startsWith("crash-"), qPrintable(reports.first()));
        QFile file(folder.filePath(reports.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(modeBits(file.fileName()), 0600);
        const QString report = QString::fromUtf8(file.readAll());
        QVERIFY2(report.startsWith("Tessaly crash report\n"), qPrintable(report));
        QVERIFY2(report.contains(cause), qPrintable(report));
        QVERIFY(report.contains("version: 9.9-test\n"));
        QVERIFY(
            report.contains(role == "box" ? "process: render box" : "process: main application"));
        const QRegularExpression time("\ntime: (\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ)\n");
        const QRegularExpressionMatch match = time.match(report);
        QVERIFY2(match.hasMatch(), qPrintable(report));
        const QDateTime written = QDateTime::fromString(match.captured(1), Qt::ISODate);
        QVERIFY(qAbs(written.secsTo(QDateTime::currentDateTimeUtc())) < 120);
        const QString backtrace = report.section("backtrace:\n", 1);
        QVERIFY2(backtrace.count('\n') >= 2, qPrintable(report));
        QVERIFY2(backtrace.contains(frame), qPrintable(report));
    }

    void consentTakenBackWritesNothing() {
        QTemporaryDir dir;
        const QString preferences = dir.filePath("Tessaly.conf");
        {
            PreferenceStore store(preferences);
            store.setValue(prefkeys::crashReportsAllowed, true);
            QVERIFY(store.sync());
        }
        const QString stateHome = dir.filePath("state");
        const Crash crash = runHelper(stateHome, preferences, "app", "withdrawn-segv");
        QVERIFY(crash.finished);
        QCOMPARE(crash.out, "installed\n");
        QCOMPARE(crash.status, QProcess::CrashExit);
        QCOMPARE(crash.code, SIGSEGV);
        QVERIFY(QDir(reportFolder(stateHome)).entryList(QDir::Files).isEmpty());
    }

    void noConsentNoReport() {
        QTemporaryDir dir;
        const QString preferences = dir.filePath("Tessaly.conf");
        {
            PreferenceStore store(preferences);
            // Asked and refused; an unanswered question counts the same.
            store.setValue(prefkeys::crashReportsAsked, true);
            store.setValue(prefkeys::crashReportsAllowed, false);
            QVERIFY(store.sync());
        }
        const QString stateHome = dir.filePath("state");
        for (const auto& [mode, signal] : {std::pair{"segv", SIGSEGV}, {"exception", SIGABRT}}) {
            const Crash crash = runHelper(stateHome, preferences, "app", mode);
            QVERIFY(crash.finished);
            QCOMPARE(crash.out, "not installed\n");
            QCOMPARE(crash.status, QProcess::CrashExit);
            QCOMPARE(crash.code, signal);
        }
        QVERIFY(!QFileInfo::exists(reportFolder(stateHome)));
    }

    void unwritableFolderIsAnError() {
        QTemporaryDir dir;
        QFile blocker(dir.filePath("state"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QString error;
        QVERIFY(!tessaly::CrashReporter::install(
            {reportFolder(blocker.fileName()), "x", tessaly::CrashReporter::Role::Application},
            &error));
        QVERIFY2(error.contains(blocker.fileName()), qPrintable(error));
        QVERIFY(!tessaly::CrashReporter::isInstalled());
    }

    void askRule() {
        QTemporaryDir dir;
        PreferenceStore store(dir.filePath("Tessaly.conf"));
        store.registerStandardDefaults();
        for (int launch = 0; launch <= 4; ++launch) {
            store.setValue(prefkeys::launchCount, launch);
            QCOMPARE(tessaly::shouldAskAboutCrashReports(store, false), launch >= 3);
            QVERIFY(!tessaly::shouldAskAboutCrashReports(store, true));
        }
        tessaly::recordCrashReportAnswer(store, false);
        QVERIFY(store.boolValue(prefkeys::crashReportsAsked));
        QVERIFY(!store.boolValue(prefkeys::crashReportsAllowed));
        QVERIFY(!tessaly::shouldAskAboutCrashReports(store, false));

        // Consent given some other way (an older answer without the asked flag) is not asked
        // again either.
        store.remove(prefkeys::crashReportsAsked);
        QVERIFY(tessaly::shouldAskAboutCrashReports(store, false));
        store.setValue(prefkeys::crashReportsAllowed, true);
        QVERIFY(!tessaly::shouldAskAboutCrashReports(store, false));
        tessaly::recordCrashReportAnswer(store, true);
        QVERIFY(store.boolValue(prefkeys::crashReportsAsked));
        QVERIFY(store.boolValue(prefkeys::crashReportsAllowed));
    }
};

QTEST_GUILESS_MAIN(TestCrashReporter)
#include "tst_crashreporter.moc"
