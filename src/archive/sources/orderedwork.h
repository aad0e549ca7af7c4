#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <deque>
#include <functional>
#include <memory>
#include <utility>

namespace tessaly {

// Work run on worker threads whose results come back on the owner's thread in the order the
// work was started, however the threads finish: a source hands its messages out in its own
// order. Results are delivered one by one, then `delivered` is called once, after each batch
// that came in (so the owner can start more work and say it has messages ready).
template <typename Result> class OrderedWork {
public:
    using Deliver = std::function<void(Result&&)>;

    OrderedWork(QObject* context, Deliver deliver, std::function<void()> delivered)
        : m_context(context)
        , m_deliver(std::move(deliver))
        , m_delivered(std::move(delivered)) {}
    OrderedWork(const OrderedWork&) = delete;
    OrderedWork& operator=(const OrderedWork&) = delete;

    // Runs `work` on `pool` (the global pool when null).
    template <typename Work> void run(QThreadPool* pool, Work work) {
        auto watcher = std::make_unique<QFutureWatcher<Result>>();
        QObject::connect(watcher.get(), &QFutureWatcherBase::finished, m_context,
                         [this] { deliverFinished(); });
        watcher->setFuture(pool ? QtConcurrent::run(pool, std::move(work))
                                : QtConcurrent::run(std::move(work)));
        m_running.push_back(std::move(watcher));
    }

    // Waits for the work started: its results are not delivered any more.
    void waitForAll() {
        for (auto& watcher : m_running) {
            watcher->waitForFinished();
        }
    }

    // Work started and not delivered yet.
    int size() const { return static_cast<int>(m_running.size()); }
    bool empty() const { return m_running.empty(); }

private:
    void deliverFinished() {
        bool any = false;
        // A result waits for those started before it.
        while (!m_running.empty() && m_running.front()->isFinished()) {
            const std::unique_ptr<QFutureWatcher<Result>> done = std::move(m_running.front());
            m_running.pop_front();
            m_deliver(done->future().result());
            any = true;
        }
        if (any) {
            m_delivered();
        }
    }

    QObject* m_context;
    Deliver m_deliver;
    std::function<void()> m_delivered;
    std::deque<std::unique_ptr<QFutureWatcher<Result>>> m_running;
};

} // namespace tessaly
