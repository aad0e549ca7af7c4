#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>

namespace tessaly {

// A timer on a Clock's time. Its callback runs on the thread that made it, never after the
// timer is gone.
class ClockTimer {
public:
    virtual ~ClockTimer() = default;
    // Fires once, `ms` from now; a running timer starts over.
    virtual void startOnce(qint64 ms) = 0;
    // Fires every `ms` from now until stopped.
    virtual void startEvery(qint64 ms) = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
};

// Time as the code that schedules things sees it: the job tick, the schedule of runs, the
// sleep check, a render box's lifetime. Everything it times is minutes, hours or days apart,
// so tests hand in a clock of their own and move its time on instead of waiting.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic scale of this clock's own.
    virtual qint64 nowMs() const = 0;
    virtual std::unique_ptr<ClockTimer> timer(std::function<void()> fire) = 0;

    // Real time, through the event loop. Any interval goes, even past QTimer's 24 days.
    static Clock& system();
};

} // namespace tessaly
