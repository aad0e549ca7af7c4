#include "platform/clock/clock.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

namespace tessaly {

namespace {

// QTimer takes an int of milliseconds: a longer wait is run in steps that count the time.
constexpr qint64 kLongestStepMs = 24LL * 3600 * 1000;

class SystemClock;

class SystemTimer final : public ClockTimer {
public:
    SystemTimer(const SystemClock& clock, std::function<void()> fire);

    void startOnce(qint64 ms) override { begin(ms, false); }
    void startEvery(qint64 ms) override { begin(ms, true); }
    void stop() override { m_timer.stop(); }
    bool isActive() const override { return m_timer.isActive(); }

private:
    void begin(qint64 ms, bool repeat);
    void step();

    const SystemClock& m_clock;
    std::function<void()> m_fire;
    QTimer m_timer;
    qint64 m_interval = 0;
    qint64 m_due = 0;
    bool m_repeat = false;
};

class SystemClock final : public Clock {
public:
    SystemClock() { m_elapsed.start(); }
    qint64 nowMs() const override { return m_elapsed.elapsed(); }
    std::unique_ptr<ClockTimer> timer(std::function<void()> fire) override {
        return std::make_unique<SystemTimer>(*this, std::move(fire));
    }

private:
    QElapsedTimer m_elapsed;
};

SystemTimer::SystemTimer(const SystemClock& clock, std::function<void()> fire)
    : m_clock(clock)
    , m_fire(std::move(fire)) {
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { step(); });
}

void SystemTimer::begin(qint64 ms, bool repeat) {
    m_interval = std::max<qint64>(ms, 0);
    m_repeat = repeat;
    m_due = m_clock.nowMs() + m_interval;
    m_timer.start(static_cast<int>(std::min(m_interval, kLongestStepMs)));
}

void SystemTimer::step() {
    const qint64 left = m_due - m_clock.nowMs();
    if (left > 0) {
        m_timer.start(static_cast<int>(std::min(left, kLongestStepMs)));
        return;
    }
    if (m_repeat) {
        // The next tick counts from now: a loop that was busy does not catch up in a burst.
        m_due = m_clock.nowMs() + m_interval;
        m_timer.start(static_cast<int>(std::min(m_interval, kLongestStepMs)));
    }
    m_fire(); // may stop, restart or delete this timer: nothing of it is touched after
}

} // namespace

Clock& Clock::system() {
    static SystemClock clock;
    return clock;
}

} // namespace tessaly
