// The sleep lock against logind as python3-dbusmock plays it, on a private system bus.

#include "platform/power/sleepinhibitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

using namespace tessaly;

class TestSleepInhibitor : public QObject {
    Q_OBJECT

private:
    QProcess m_bus;
    QProcess m_logind;

    static int inhibitors() {
        QDBusMessage call =
            QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "ListInhibitors");
        const QDBusMessage reply = QDBusConnection::systemBus().call(call);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            return -1;
        }
        const QDBusArgument list = reply.arguments().first().value<QDBusArgument>();
        int count = 0;
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            if (what == "idle:sleep" && who == "Tessaly" && mode == "block" &&
                why == "Tessaly busy archiving Email") {
                ++count;
            }
        }
        list.endArray();
        return count;
    }

private Q_SLOTS:
    void initTestCase() {
        // A bus of its own stands in for the system bus; it must be set before the first use.
        m_bus.start("dbus-daemon",
                    {"--config-file=" TESSALY_DBUS_SESSION_CONF, "--print-address", "--nofork"});
        QVERIFY(m_bus.waitForReadyRead(10000));
        const QByteArray address = m_bus.readLine().trimmed();
        QVERIFY(!address.isEmpty());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        QVERIFY(QDBusConnection::systemBus().isConnected());
    }

    void cleanupTestCase() {
        m_logind.kill();
        m_logind.waitForFinished();
        m_bus.kill();
        m_bus.waitForFinished();
    }

    // Without logind the lock fails at once, saying why.
    void withoutLogindItFails() {
        SleepInhibitor inhibitor("Tessaly", "Tessaly busy archiving Email");
        QSignalSpy failed(&inhibitor, &SleepInhibitor::failed);
        inhibitor.acquire();
        QVERIFY(failed.wait(5000));
        QVERIFY(!inhibitor.held());
    }

    void holdsTheLockUntilReleased() {
        m_logind.start("/usr/bin/python3", {"-m", "dbusmock", "--system", "--template", "logind"});
        QTRY_VERIFY_WITH_TIMEOUT(
            QDBusConnection::systemBus().interface()->isServiceRegistered("org.freedesktop.login1"),
            15000);
        SleepInhibitor inhibitor("Tessaly", "Tessaly busy archiving Email");
        QSignalSpy acquired(&inhibitor, &SleepInhibitor::acquired);
        inhibitor.acquire();
        inhibitor.acquire(); // one lock, however often it is asked for
        QVERIFY(acquired.wait(10000));
        QVERIFY(inhibitor.held());
        QVERIFY(inhibitor.descriptor() >= 0);
        QCOMPARE(inhibitors(), 1);
        inhibitor.release();
        QVERIFY(!inhibitor.held());
        QTRY_COMPARE_WITH_TIMEOUT(inhibitors(), 0, 5000);
    }
};

QTEST_GUILESS_MAIN(TestSleepInhibitor)
#include "tst_sleepinhibitor.moc"
