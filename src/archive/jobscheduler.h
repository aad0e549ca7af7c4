#pragma once

#include <QObject>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

namespace tessaly {

class Clock;
class ClockTimer;
class PreferenceStore;
class SleepInhibitor;

// When jobs run by themselves, and what they keep the computer doing meanwhile: the stored
// sources are due every hoursBetweenUpdates, and while any job exists the computer does not
// go to sleep when idle.
class JobScheduler : public QObject {
    Q_OBJECT

public:
    // How often it is checked whether jobs still exist.
    static constexpr qint64 kSleepCheckMs = 2000;
    // The shortest and longest period between scheduled runs.
    static constexpr int kMinAutoSeconds = 60;
    static constexpr int kMaxAutoSeconds = 2'592'000;
    // preventSleepAssertionID() after an attempt that failed: none is tried again in this run.
    static constexpr quint32 kNoSleepPrevention = 857583746;

    // `busy` says whether any job exists.
    JobScheduler(PreferenceStore* store, std::function<bool()> busy, Clock& clock,
                 QObject* parent = nullptr);
    ~JobScheduler() override;

    // The period for a stored hoursBetweenUpdates, clamped to 60 s … 30 days; nothing for 0
    // (a running schedule is then left alone).
    static std::optional<int> autoJobIntervalSeconds(const QVariant& hoursBetweenUpdates);
    // Starts the schedule from the stored period, or restarts it when the period changed.
    void startAutoJobTimer();
    int autoJobTimerSeconds() const { return m_autoJobSeconds; }

    // 0 when no lock is held, kNoSleepPrevention after a failed attempt, else the lock held.
    quint32 preventSleepAssertionID() const { return m_preventSleepAssertionID; }
    // Takes the lock when jobs exist and none is held, gives it back when none exist.
    void keepComputerFromSleepingIfBusy();

Q_SIGNALS:
    // The stored sources are due for their scheduled run.
    void autoJobsDue();

private:
    PreferenceStore* m_store;
    std::function<bool()> m_busy;
    std::unique_ptr<ClockTimer> m_autoJobTimer;
    int m_autoJobSeconds = 0;
    std::unique_ptr<ClockTimer> m_sleepCheck;
    SleepInhibitor* m_sleepInhibitor;
    quint32 m_preventSleepAssertionID = 0;
};

} // namespace tessaly
