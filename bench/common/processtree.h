#pragma once

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <thread>

// Memory of this process and all its descendants (render boxes, layout engines and their
// helper processes all run as processes of their own), in KiB.
//
// PSS splits every shared page among the processes mapping it, so the sum over the tree is what
// the tree really costs; RSS counts the engine's shared libraries once per process and overstates
// a tree of many engines several times over.
qint64 processTreePssKiB();
// The same with this process's own figure read only when `readOwn`, else taken from
// `ownPssKiB` (which a read updates).
qint64 processTreePssKiB(qint64* ownPssKiB, bool readOwn);
qint64 processTreeRssKiB();

// Samples the tree's PSS every 100 ms on a thread of its own, so that neither a busy event loop
// delays the samples nor the sampling shows up as a stall of the caller's event loop. Sampling
// starts on construction and ends on destruction.
class PeakPssSampler {
public:
    static constexpr std::chrono::milliseconds kPeriod{100};

    PeakPssSampler();
    ~PeakPssSampler();
    PeakPssSampler(const PeakPssSampler&) = delete;
    PeakPssSampler& operator=(const PeakPssSampler&) = delete;

    qint64 peakKiB() const { return m_peak.load(); }
    int samples() const { return m_samples.load(); }

private:
    void run(std::stop_token stop);

    std::atomic<qint64> m_peak{0};
    std::atomic<int> m_samples{0};
    std::jthread m_thread;
};
