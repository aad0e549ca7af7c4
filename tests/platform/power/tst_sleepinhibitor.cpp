// The sleep lock against logind as python3-dbusmock plays it, on a private system bus.

#include "logindmock.h"
#include "platform/power/sleepinhibitor.h"

#include <QSignalSpy>
#include <QtTest>

using namespace tessaly;

class TestSleepInhibitor : public QObject {
    Q_OBJECT

private:
    test::LogindMock m_mock;
    static int inhibitors() { return test::LogindMock::inhibitors(); }

private Q_SLOTS:
    void initTestCase() {
        // A bus of its own stands in for the system bus; it must be set before the first use.
        QVERIFY(m_mock.startBus(TESSALY_DBUS_SESSION_CONF));
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
        QVERIFY(m_mock.startLogind());
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
