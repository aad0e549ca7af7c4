// The real application, on the test's private session bus: files opened with a second
// `tessaly FILE` go to the running one, which archives them; the second process ends at once.

#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

const QString kAppId = QStringLiteral("org.tessaly.Tessaly");

QByteArray message(const QByteArray& subject) {
    return test::crlfMessage(
        "From: Sender <sender@example.com>\nTo: rcpt@example.com\nSubject: " + subject +
        "\nDate: Sat, 18 Jan 2014 08:16:20 +0000\nMessage-ID: <" + subject +
        "@example.com>\nMIME-Version: 1.0\nContent-Type: text/plain\n\n"
        "Opened from a file manager.\n");
}

QStringList pdfsIn(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        found.append(QFileInfo(it.next()).fileName());
    }
    found.sort();
    return found;
}

bool nameOwned() {
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kAppId);
}

} // namespace

class TestOpenFiles : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QProcessEnvironment m_environment;

    std::unique_ptr<QProcess> start(const QStringList& arguments) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(m_environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(qEnvironmentVariable("TESSALY_RENDERBOX_PROGRAM"), arguments);
        return process;
    }

    // Ends the running application the way the launcher entry's action does.
    void quitRunning() {
        QProcess quit;
        quit.setProcessEnvironment(m_environment);
        quit.start(qEnvironmentVariable("TESSALY_RENDERBOX_PROGRAM"), {"--quit"});
        QVERIFY(quit.waitForFinished(30000));
        QCOMPARE(quit.exitCode(), 0);
    }

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_environment = QProcessEnvironment::systemEnvironment();
        m_environment.insert("XDG_CONFIG_HOME", m_dir->filePath("config"));
        m_environment.insert("XDG_STATE_HOME", m_dir->filePath("state"));
        m_environment.insert("XDG_RUNTIME_DIR", m_dir->filePath("run"));
        m_environment.insert("HOME", m_dir->path());
        QDir().mkpath(m_dir->filePath("run"));
        QFile::setPermissions(m_dir->filePath("run"), QFileDevice::ReadOwner |
                                                          QFileDevice::WriteOwner |
                                                          QFileDevice::ExeOwner);
        // Nobody is there to click: every folder chooser answers with this folder.
        m_environment.insert("TESSALY_TEST_FOLDER_CHOICE", m_dir->filePath("Out"));
        QDir().mkpath(m_dir->filePath("Out"));
        QVERIFY(!nameOwned());
    }

    void aSecondLaunchHandsItsFilesToTheFirst() {
        const QString first = m_dir->filePath("in/first.eml");
        const QString second = m_dir->filePath("in/Second one.eml");
        test::writeFile(first, message("first"));
        test::writeFile(second, message("second"));

        // Opened with a file: no instance runs yet, so this one archives it itself.
        auto running = start({first});
        QVERIFY(running->waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(nameOwned(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(pdfsIn(m_dir->filePath("Out")).size(), 1, 180000);

        // A relative path from another working folder reaches the running one as the same file.
        QElapsedTimer clock;
        clock.start();
        QProcess handOver;
        handOver.setProcessEnvironment(m_environment);
        handOver.setWorkingDirectory(m_dir->filePath("in"));
        handOver.start(qEnvironmentVariable("TESSALY_RENDERBOX_PROGRAM"), {"Second one.eml"});
        QVERIFY(handOver.waitForFinished(30000));
        QCOMPARE(handOver.exitStatus(), QProcess::NormalExit);
        QCOMPARE(handOver.exitCode(), 0);
        qInfo("the second launch ended after %lld ms", static_cast<long long>(clock.elapsed()));
        QVERIFY(running->state() == QProcess::Running);

        QTRY_COMPARE_WITH_TIMEOUT(pdfsIn(m_dir->filePath("Out")).size(), 2, 180000);
        const QStringList pdfs = pdfsIn(m_dir->filePath("Out"));
        QVERIFY2(pdfs.filter("first").size() == 1 && pdfs.filter("second").size() == 1,
                 qPrintable(pdfs.join(", ")));

        quitRunning();
        QVERIFY(running->waitForFinished(30000));
        QCOMPARE(running->exitStatus(), QProcess::NormalExit);
        QCOMPARE(running->exitCode(), 0);
        QTRY_VERIFY(!nameOwned());
    }

    void badArgumentsAreRefusedWithoutStarting() {
        QProcess process;
        process.setProcessEnvironment(m_environment);
        process.start(qEnvironmentVariable("TESSALY_RENDERBOX_PROGRAM"), {"--no-such-option"});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(process.readAllStandardError().contains("unknown option --no-such-option"));
        QVERIFY(!nameOwned());
    }
};

QTEST_GUILESS_MAIN(TestOpenFiles)
#include "tst_openfiles.moc"
