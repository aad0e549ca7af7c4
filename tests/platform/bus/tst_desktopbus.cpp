// The application's presence on the session bus: one running instance that later launches hand
// their files to, and desktop notifications, against python3-dbusmock's notification daemon.

#include "platform/bus/desktopnotifier.h"
#include "platform/bus/singleinstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tessaly;

class TestDesktopBus : public QObject {
    Q_OBJECT

private:
    QProcess m_notifications;

    struct ProbeResult {
        int exitCode = -1;
        QString output;
    };
    // The probe's event loop is its own; ours keeps running so the primary can answer.
    static ProbeResult runProbe(const QStringList& arguments, const QString& token = {}) {
        QProcess probe;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DESKTOP_STARTUP_ID");
        environment.insert("XDG_ACTIVATION_TOKEN", token);
        if (token.isEmpty()) {
            environment.remove("XDG_ACTIVATION_TOKEN");
        }
        probe.setProcessEnvironment(environment);
        probe.start(TESSALY_PROBE, arguments);
        if (!probe.waitForStarted(5000)) {
            return {};
        }
        if (!QTest::qWaitFor([&] { return probe.state() == QProcess::NotRunning; }, 20000)) {
            return {};
        }
        return {probe.exitCode(), QString::fromUtf8(probe.readAllStandardOutput()).trimmed()};
    }

    // The calls dbusmock recorded on its mocked object.
    static QList<QVariantList> notifyCalls() {
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
            "org.freedesktop.DBus.Mock", "GetMethodCalls");
        call << QString("Notify");
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
        QList<QVariantList> calls;
        if (reply.type() != QDBusMessage::ReplyMessage) {
            return calls;
        }
        const QDBusArgument list = reply.arguments().first().value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            quint64 time = 0;
            QVariantList args;
            list.beginStructure();
            list >> time >> args;
            list.endStructure();
            calls.append(args);
        }
        list.endArray();
        return calls;
    }

private Q_SLOTS:
    void cleanupTestCase() {
        m_notifications.kill();
        m_notifications.waitForFinished();
    }

    void laterLaunchesHandTheirFilesToTheRunningOne() {
        const QString appId = "org.tessaly.TestInstance";
        auto first = std::make_unique<SingleInstance>(appId);
        QCOMPARE(first->claim(), SingleInstance::Role::Primary);
        QSignalSpy opened(first.get(), &SingleInstance::openRequested);
        QSignalSpy activated(first.get(), &SingleInstance::activated);

        QTemporaryDir dir;
        const QString odd = dir.filePath("Über mail #1 %20.eml");
        const QString box = dir.filePath("a.mbox");
        ProbeResult result = runProbe({appId, odd, box});
        QCOMPARE(result.output, QString("forwarded"));
        QCOMPARE(result.exitCode, 0);
        QTRY_COMPARE(opened.count(), 1);
        QCOMPARE(opened.first().first().toStringList(), QStringList({odd, box}));
        QVERIFY(activated.count() >= 1);

        // Without files the running one only comes to the front, with the launcher's token
        // that lets it do so on Wayland.
        const int before = activated.count();
        result = runProbe({appId}, "launcher-token-1");
        QCOMPARE(result.output, QString("forwarded"));
        QTRY_COMPARE(activated.count(), before + 1);
        QCOMPARE(activated.last().first().toString(), QString("launcher-token-1"));
        QCOMPARE(opened.count(), 1);

        // A file manager may offer non-local URIs: they are not files to archive.
        QDBusMessage call = QDBusMessage::createMethodCall(appId, SingleInstance::objectPath(appId),
                                                           "org.freedesktop.Application", "Open");
        call << QStringList{"https://example.test/x.eml", QUrl::fromLocalFile(box).toString()}
             << QVariantMap();
        QDBusConnection::sessionBus().asyncCall(call);
        QTRY_COMPARE(opened.count(), 2);
        QCOMPARE(opened.last().first().toStringList(), QStringList({box}));

        // Once the running one ends, the next launch runs the application itself.
        first.reset();
        QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(appId));
        result = runProbe({appId});
        QCOMPARE(result.output, QString("primary"));
    }

    void notificationsAreSentAndClicksComeBack() {
        DesktopNotifier notifier("Tessaly", "org.tessaly.Tessaly");
        // No server yet: the failure is reported, nothing hangs.
        QSignalSpy failed(&notifier, &DesktopNotifier::failed);
        notifier.notify("nobody", "listens");
        QVERIFY(failed.wait(10000));

        m_notifications.start("/usr/bin/python3",
                              {"-m", "dbusmock", "--template", "notification_daemon"});
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     "org.freedesktop.Notifications"),
                                 15000);
        QSignalSpy clicked(&notifier, &DesktopNotifier::clicked);
        notifier.notify("Archived dan@example.test", "12 new PDFs in <Mail & Co>");
        QTRY_COMPARE(notifyCalls().size(), 1);
        const QVariantList args = notifyCalls().first();
        QCOMPARE(args.value(0).toString(), QString("Tessaly"));
        QCOMPARE(args.value(3).toString(), QString("Archived dan@example.test"));
        // A body is markup to some servers: names are escaped.
        QCOMPARE(args.value(4).toString(), QString("12 new PDFs in &lt;Mail &amp; Co&gt;"));
        QVERIFY(args.value(5).toStringList().contains("default"));

        // The template numbers notifications from 1; a click on another client's does nothing.
        auto emitSignal = [](const QString& name, const QString& signature,
                             const QVariantList& signalArgs) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                "org.freedesktop.DBus.Mock", "EmitSignal");
            call << QString("org.freedesktop.Notifications") << name << signature << signalArgs;
            return QDBusConnection::sessionBus().call(call);
        };
        auto emitAction = [](uint id) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                "org.freedesktop.DBus.Mock", "EmitSignal");
            call << QString("org.freedesktop.Notifications") << QString("ActionInvoked")
                 << QString("us")
                 << QVariantList{QVariant::fromValue(id), QVariant::fromValue(QString("default"))};
            return QDBusConnection::sessionBus().call(call);
        };
        QCOMPARE(emitAction(77).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(emitSignal("ActivationToken", "us",
                            {QVariant::fromValue(uint(1)), QVariant::fromValue(QString("tok-2"))})
                     .type(),
                 QDBusMessage::ReplyMessage);
        QCOMPARE(emitAction(1).type(), QDBusMessage::ReplyMessage);
        // The bus keeps their order: a click for the unknown action would come first.
        QTRY_VERIFY(!clicked.isEmpty() && clicked.last().first().toString() == "tok-2");
        QCOMPARE(clicked.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDesktopBus)
#include "tst_desktopbus.moc"
