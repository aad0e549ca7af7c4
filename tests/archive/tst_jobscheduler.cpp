// The schedule of runs and the sleep lock, on a clock the test moves: days pass at once.

#include "archive/jobscheduler.h"
#include "fakeclock.h"
#include "logindmock.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

class TestJobScheduler : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_logind.startBus(TESSALY_DBUS_SESSION_CONF)); }
    void periods();
    void sourcesAreDueEveryPeriod();
    void theComputerStaysAwakeWhileJobsExist();

private:
    test::LogindMock m_logind;
    QTemporaryDir m_dir;
};

void TestJobScheduler::periods() {
    QCOMPARE(*JobScheduler::autoJobIntervalSeconds("0.001"), 60);
    QCOMPARE(*JobScheduler::autoJobIntervalSeconds("1000"), 2592000);
    QCOMPARE(*JobScheduler::autoJobIntervalSeconds("24"), 86400);
    QCOMPARE(*JobScheduler::autoJobIntervalSeconds(" 1.5 "), 5400);
    QVERIFY(!JobScheduler::autoJobIntervalSeconds("0"));
    QVERIFY(!JobScheduler::autoJobIntervalSeconds("soon"));
}

void TestJobScheduler::sourcesAreDueEveryPeriod() {
    PreferenceStore store(m_dir.filePath("due.conf"));
    test::FakeClock clock;
    JobScheduler scheduler(
        &store, [] { return false; }, clock);
    QSignalSpy due(&scheduler, &JobScheduler::autoJobsDue);

    // Nothing is scheduled without a period.
    scheduler.startAutoJobTimer();
    clock.advance(400LL * 24 * 3600 * 1000);
    QCOMPARE(due.size(), 0);

    store.setValue(prefkeys::hoursBetweenUpdates, "2");
    scheduler.startAutoJobTimer();
    QCOMPARE(scheduler.autoJobTimerSeconds(), 7200);
    clock.advance(7200 * 1000 - 1);
    QCOMPARE(due.size(), 0);
    clock.advance(1);
    QCOMPARE(due.size(), 1);
    clock.advance(3 * 7200 * 1000);
    QCOMPARE(due.size(), 4);
    // Asked again with the same period, the schedule keeps its time.
    clock.advance(3600 * 1000);
    scheduler.startAutoJobTimer();
    clock.advance(3600 * 1000);
    QCOMPARE(due.size(), 5);

    // Thirty days, longer than one system timer can wait, are still thirty days.
    store.setValue(prefkeys::hoursBetweenUpdates, "720");
    scheduler.startAutoJobTimer();
    clock.advance(30LL * 24 * 3600 * 1000 - 1000);
    QCOMPARE(due.size(), 5);
    clock.advance(1000);
    QCOMPARE(due.size(), 6);

    // A period of 0 leaves a running schedule alone.
    store.setValue(prefkeys::hoursBetweenUpdates, "0");
    scheduler.startAutoJobTimer();
    clock.advance(30LL * 24 * 3600 * 1000);
    QCOMPARE(due.size(), 7);
}

void TestJobScheduler::theComputerStaysAwakeWhileJobsExist() {
    QVERIFY(m_logind.startLogind());
    PreferenceStore store(m_dir.filePath("sleep.conf"));
    test::FakeClock clock;
    bool busy = false;
    JobScheduler scheduler(
        &store, [&busy] { return busy; }, clock);

    // Idle, no lock is asked for, however long.
    clock.advance(10 * JobScheduler::kSleepCheckMs);
    QCOMPARE(scheduler.preventSleepAssertionID(), 0u);
    QCOMPARE(test::LogindMock::inhibitors(), 0);

    // The next check after jobs appear takes the lock; one lock, however many checks.
    busy = true;
    clock.advance(JobScheduler::kSleepCheckMs - 1);
    QCOMPARE(test::LogindMock::inhibitors(), 0);
    clock.advance(1);
    QTRY_VERIFY(scheduler.preventSleepAssertionID() != 0);
    QVERIFY(scheduler.preventSleepAssertionID() != JobScheduler::kNoSleepPrevention);
    clock.advance(5 * JobScheduler::kSleepCheckMs);
    QCOMPARE(test::LogindMock::inhibitors(), 1);

    // The check after the last job is gone gives it back.
    busy = false;
    clock.advance(JobScheduler::kSleepCheckMs);
    QCOMPARE(scheduler.preventSleepAssertionID(), 0u);
    QTRY_COMPARE(test::LogindMock::inhibitors(), 0);
}

QTEST_GUILESS_MAIN(TestJobScheduler)
#include "tst_jobscheduler.moc"
