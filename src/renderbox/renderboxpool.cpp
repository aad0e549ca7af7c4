#include "renderbox/renderboxpool.h"

#include "renderbox/remoterender.h"

#include <QFile>
#include <QTimer>

#include <sched.h>

namespace tessaly {

namespace {

int usableCores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        return std::max(1, CPU_COUNT(&set));
    }
    return 1;
}

qint64 availableMemoryMiB() {
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (!meminfo.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : meminfo.readAll().split('\n')) {
        if (line.startsWith("MemAvailable:")) {
            return line.mid(13).trimmed().split(' ').first().toLongLong() / 1024;
        }
    }
    return -1;
}

} // namespace

RenderBoxPool::RenderBoxPool(NotificationCenter* center, QString runtimeFolder, QString boxProgram,
                             int capacity, Clock& clock, QObject* parent)
    : QObject(parent)
    , m_center(center)
    , m_clock(clock)
    , m_runtimeFolder(std::move(runtimeFolder))
    , m_program(std::move(boxProgram))
    , m_capacity(std::clamp(capacity, 1, kMaxBoxes)) {
}

RenderBoxPool::~RenderBoxPool() {
    // All are told first, so they end side by side rather than one after another.
    askAllToQuit();
    std::vector<std::unique_ptr<QProcess>> processes;
    for (Slot& slot : m_slots) {
        disconnect(slot.box.get(), nullptr, this, nullptr);
        for (std::unique_ptr<QProcess>& process : slot.box->takeProcesses()) {
            processes.push_back(std::move(process));
        }
    }
    // The boxes end together, within one grace period, however many there are.
    RemoteRender::endTogether(processes);
    m_slots.clear();
}

int RenderBoxPool::capacityFor(int cores, qint64 availableMiB) {
    int boxes = cores + 1;
    if (availableMiB >= 0) {
        boxes = std::min<qint64>(boxes, availableMiB / (2 * kBoxMemoryMiB));
    }
    return std::clamp(boxes, 1, kMaxBoxes);
}

int RenderBoxPool::defaultCapacity() {
    bool ok = false;
    const int configured = qEnvironmentVariableIntValue("TESSALY_MAX_RENDER_BOXES", &ok);
    if (ok && configured > 0) {
        return std::min(configured, kMaxBoxes);
    }
    return capacityFor(usableCores(), availableMemoryMiB());
}

RenderBoxPool::Slot& RenderBoxPool::newSlot() {
    m_slots.push_back(
        {std::make_unique<RemoteRender>(m_center, m_runtimeFolder, m_program, m_clock), false});
    connect(m_slots.back().box.get(), &RemoteRender::processStarted, this, [this] { notePeak(); });
    connect(m_slots.back().box.get(), &RemoteRender::processEnded, this, [this] { notePeak(); });
    return m_slots.back();
}

RemoteRender* RenderBoxPool::freeBox() {
    // A box already running is better than a new one, which has to start its engine first.
    Slot* idle = nullptr;
    for (Slot& slot : m_slots) {
        if (!slot.lent && (!idle || (slot.box->running() && !idle->box->running()))) {
            idle = &slot;
        }
    }
    if (!idle && static_cast<int>(m_slots.size()) < m_capacity) {
        idle = &newSlot();
    }
    if (!idle) {
        return nullptr;
    }
    idle->lent = true;
    return idle->box.get();
}

RemoteRender* RenderBoxPool::stoppedBox() {
    for (Slot& slot : m_slots) {
        if (!slot.lent && !slot.box->running()) {
            return slot.box.get();
        }
    }
    if (static_cast<int>(m_slots.size()) < m_capacity) {
        return newSlot().box.get();
    }
    return nullptr;
}

void RenderBoxPool::requestBox(const QObject* requester, Grant grant) {
    m_waiters.push_back({requester, std::move(grant)});
    serveWaiters();
}

void RenderBoxPool::cancelRequest(const QObject* requester) {
    std::erase_if(m_waiters, [requester](const Waiter& w) { return w.requester == requester; });
}

void RenderBoxPool::releaseBox(RenderBoxClient* box, bool abandoned) {
    for (Slot& slot : m_slots) {
        if (slot.box.get() == box) {
            slot.lent = false;
            if (abandoned) {
                slot.box->quitRenderbox();
            }
        }
    }
    // Granted from the event loop: the engine giving the box back is still on the stack.
    QTimer::singleShot(0, this, &RenderBoxPool::serveWaiters);
}

void RenderBoxPool::serveWaiters() {
    if (m_serving) {
        return;
    }
    m_serving = true;
    while (!m_waiters.empty()) {
        RemoteRender* box = freeBox();
        if (!box) {
            break;
        }
        Waiter waiter = std::move(m_waiters.front());
        m_waiters.pop_front();
        waiter.grant(box);
        notePeak();
    }
    m_serving = false;
}

void RenderBoxPool::warmUp(int count) {
    if (count <= 0) {
        return;
    }
    for (int i = 0; i < count; ++i) {
        RemoteRender* box = stoppedBox();
        if (!box) {
            return;
        }
        box->launchSoon(); // launches are spread over turns of the event loop
    }
}

void RenderBoxPool::askAllToQuit() {
    for (Slot& slot : m_slots) {
        slot.box->askToQuit();
    }
}

int RenderBoxPool::liveProcesses() const {
    int live = 0;
    for (const Slot& slot : m_slots) {
        live += slot.box->liveProcesses();
    }
    return live;
}

int RenderBoxPool::launches() const {
    int launches = 0;
    for (const Slot& slot : m_slots) {
        launches += slot.box->launches();
    }
    return launches;
}

void RenderBoxPool::notePeak() {
    m_peakLive = std::max(m_peakLive, liveProcesses());
}

} // namespace tessaly
