#pragma once

#include "platform/clock/clock.h"
#include "render/renderboxclient.h"

#include <QObject>

#include <deque>
#include <memory>
#include <vector>

namespace tessaly {

class NotificationCenter;
class RemoteRender;

// The render boxes of this process: one budget shared by every job, sized to the machine.
// A box is lent to an engine for one render and comes back when the render is over, so a job
// never waits for a box another job holds idle. Boxes are started on demand (or ahead of it
// with warmUp) and end on their own when left without work.
class RenderBoxPool : public QObject, public RenderBoxProvider {
    Q_OBJECT

public:
    // Upper bound on boxes, whatever the machine.
    static constexpr int kMaxBoxes = 16;
    // What one box may cost, all its processes together (proportional set size): about 130 MB
    // was measured over the corpus; heavy pages take more.
    static constexpr int kBoxMemoryMiB = 260;

    RenderBoxPool(NotificationCenter* center, QString runtimeFolder, QString boxProgram,
                  int capacity = defaultCapacity(), Clock& clock = Clock::system(),
                  QObject* parent = nullptr);
    ~RenderBoxPool() override;

    // Boxes to run at once on this machine: one per core the process may use and one more to
    // cover the moments a box waits on the application, no more than half the available
    // memory holds, at least one. $TESSALY_MAX_RENDER_BOXES overrides it.
    static int defaultCapacity();
    static int capacityFor(int cores, qint64 availableMiB);

    void requestBox(const QObject* requester, Grant grant) override;
    void cancelRequest(const QObject* requester) override;
    void releaseBox(RenderBoxClient* box, bool abandoned) override;

    // Starts up to `count` boxes before there is work for them.
    void warmUp(int count);
    // Tells every box to end, without waiting.
    void askAllToQuit();

    int capacity() const { return m_capacity; }
    // Box processes alive now, ending ones included, and the most there ever were at once.
    int liveProcesses() const;
    int peakLiveProcesses() const { return m_peakLive; }
    int launches() const;

private:
    struct Slot {
        std::unique_ptr<RemoteRender> box;
        bool lent = false;
    };
    struct Waiter {
        const QObject* requester;
        Grant grant;
    };

    Slot& newSlot();
    RemoteRender* freeBox();
    // An idle box that does not run (made new while the budget allows), to start ahead.
    RemoteRender* stoppedBox();
    void serveWaiters();
    void notePeak();

    NotificationCenter* m_center;
    Clock& m_clock;
    QString m_runtimeFolder;
    QString m_program;
    int m_capacity;
    std::vector<Slot> m_slots;
    std::deque<Waiter> m_waiters;
    bool m_serving = false;
    int m_peakLive = 0;
};

} // namespace tessaly
