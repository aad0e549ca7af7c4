#pragma once

#include "platform/clock/clock.h"

#include <algorithm>
#include <vector>

namespace tessaly::test {

// A clock whose time moves only when the test says: advance() fires every timer that falls
// due on the way, in order, each at its own time.
class FakeClock final : public Clock {
public:
    qint64 nowMs() const override { return m_now; }
    std::unique_ptr<ClockTimer> timer(std::function<void()> fire) override {
        return std::make_unique<Timer>(*this, std::move(fire));
    }

    void advance(qint64 ms) {
        const qint64 end = m_now + ms;
        while (Timer* next = nextDue(end)) {
            m_now = next->m_due;
            if (next->m_every > 0) {
                next->m_due = m_now + next->m_every;
            } else {
                next->m_active = false;
            }
            next->m_fire();
        }
        m_now = end;
    }
    // Timers running now.
    int activeTimers() const {
        return static_cast<int>(std::count_if(m_timers.cbegin(), m_timers.cend(),
                                              [](Timer* t) { return t->m_active; }));
    }

private:
    class Timer final : public ClockTimer {
    public:
        Timer(FakeClock& clock, std::function<void()> fire)
            : m_clock(clock)
            , m_fire(std::move(fire)) {
            m_clock.m_timers.push_back(this);
        }
        ~Timer() override { std::erase(m_clock.m_timers, this); }
        void startOnce(qint64 ms) override { begin(ms, 0); }
        void startEvery(qint64 ms) override { begin(ms, std::max<qint64>(ms, 1)); }
        void stop() override { m_active = false; }
        bool isActive() const override { return m_active; }

    private:
        friend class FakeClock;
        void begin(qint64 ms, qint64 every) {
            m_due = m_clock.m_now + std::max<qint64>(ms, 0);
            m_every = every;
            m_active = true;
        }

        FakeClock& m_clock;
        std::function<void()> m_fire;
        qint64 m_due = 0;
        qint64 m_every = 0;
        bool m_active = false;
    };

    Timer* nextDue(qint64 end) const {
        Timer* next = nullptr;
        for (Timer* t : m_timers) {
            if (t->m_active && t->m_due <= end && (!next || t->m_due < next->m_due)) {
                next = t;
            }
        }
        return next;
    }

    qint64 m_now = 1'000'000;
    std::vector<Timer*> m_timers;
};

} // namespace tessaly::test
