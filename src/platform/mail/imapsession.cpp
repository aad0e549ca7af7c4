#include "platform/mail/imapsession.h"

#include "platform/mail/imapconnection.h"

#include <QMetaObject>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace tessaly {

namespace {

class Task;

// What the session, its worker thread and the operations it handed out (which may outlive
// both) share.
struct Control {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Task>> queue;
    Task* running = nullptr;
    bool stopping = false;
    QString oauth2Token;
    ImapInterrupter interrupter;

    // With the mutex held.
    void cancelEverythingLocked();
};

class Task : public ImapOperation {
public:
    explicit Task(std::weak_ptr<Control> control)
        : m_control(std::move(control)) {}

    void cancel() override {
        m_cancelled = true;
        if (const std::shared_ptr<Control> control = m_control.lock()) {
            std::lock_guard lock(control->mutex);
            // Only while it runs: the interrupter belongs to whatever runs at the moment.
            if (control->running == this)
                control->interrupter.interrupt();
        }
    }
    void markCancelled() { m_cancelled = true; }
    bool isCancelled() const { return m_cancelled; }

    // On the worker thread; `connection` is null when connecting failed with `openError`.
    virtual void run(ImapConnection* connection, const ImapError& openError) = 0;
    // On the session's thread.
    virtual void deliver() = 0;

private:
    std::weak_ptr<Control> m_control;
    std::atomic<bool> m_cancelled = false;
};

template <typename T> class TypedTask final : public Task {
public:
    using Work = std::function<ImapError(ImapConnection&, T*)>;

    TypedTask(std::weak_ptr<Control> control, Work work, ImapSession::Completion<T> done)
        : Task(std::move(control))
        , m_work(std::move(work))
        , m_done(std::move(done)) {}

    void run(ImapConnection* connection, const ImapError& openError) override {
        m_error = connection != nullptr ? m_work(*connection, &m_value) : openError;
        if (m_error.isError())
            m_value = T{};
    }
    void deliver() override {
        if (!isCancelled() && m_done)
            m_done(m_error, std::move(m_value));
    }

private:
    Work m_work;
    ImapSession::Completion<T> m_done;
    ImapError m_error;
    T m_value{};
};

void Control::cancelEverythingLocked() {
    for (const std::shared_ptr<Task>& task : queue)
        task->markCancelled();
    queue.clear();
    if (running != nullptr) {
        running->markCancelled();
        interrupter.interrupt();
    }
}

} // namespace

// One thread per session, running the queued operations one after another on one connection
// that it opens when needed and drops after a failure at the connection level.
class ImapSession::Worker {
public:
    Worker(ImapSession* owner, ImapSessionSettings settings)
        : m_owner(owner)
        , m_settings(std::move(settings))
        , m_threadSettings(m_settings)
        , m_control(std::make_shared<Control>()) {
        m_control->oauth2Token = m_settings.oauth2Token;
        m_thread = std::thread([this] { loop(); });
    }

    ~Worker() {
        {
            std::lock_guard lock(m_control->mutex);
            m_control->stopping = true;
            m_control->cancelEverythingLocked();
        }
        m_control->wake.notify_all();
        m_thread.join();
    }

    template <typename T>
    std::shared_ptr<ImapOperation> submit(typename TypedTask<T>::Work work, Completion<T> done) {
        auto task = std::make_shared<TypedTask<T>>(m_control, std::move(work), std::move(done));
        {
            std::lock_guard lock(m_control->mutex);
            m_control->queue.push_back(task);
        }
        m_control->wake.notify_one();
        return task;
    }

    void cancelAll() {
        std::lock_guard lock(m_control->mutex);
        m_control->cancelEverythingLocked();
    }

    void setOAuth2Token(const QString& token) {
        m_settings.oauth2Token = token;
        std::lock_guard lock(m_control->mutex);
        m_control->oauth2Token = token;
    }

    const ImapSessionSettings& settings() const { return m_settings; }

private:
    void loop();

    ImapSession* const m_owner;
    ImapSessionSettings m_settings;       // the owner's thread
    ImapSessionSettings m_threadSettings; // the worker thread
    ImapWireNames m_wireNames;            // the worker thread
    const std::shared_ptr<Control> m_control;
    std::thread m_thread;
};

void ImapSession::Worker::loop() {
    // A write into a connection the server closed raises SIGPIPE in the writing thread, which
    // would end the process; blocked here, the write just fails and the connection is dropped.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    std::unique_ptr<ImapConnection> connection;
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::unique_lock lock(m_control->mutex);
            m_control->wake.wait(lock,
                                 [&] { return m_control->stopping || !m_control->queue.empty(); });
            if (m_control->stopping)
                break;
            task = std::move(m_control->queue.front());
            m_control->queue.pop_front();
            if (task->isCancelled())
                continue;
            m_control->running = task.get();
            m_control->interrupter.rearm();
            m_threadSettings.oauth2Token = m_control->oauth2Token;
        }

        ImapError openError;
        if (connection == nullptr || !connection->isUsable()) {
            connection = std::make_unique<ImapConnection>(m_threadSettings, m_control->interrupter,
                                                          m_wireNames);
            openError = connection->open();
            if (openError.isError())
                connection.reset();
        }
        task->run(connection.get(), openError);

        bool interrupted = false;
        {
            std::lock_guard lock(m_control->mutex);
            m_control->running = nullptr;
            interrupted = m_control->interrupter.isInterrupted();
        }
        // An interrupted connection had its socket shut down; a spent one is no use either.
        if (connection != nullptr && (interrupted || !connection->isUsable()))
            connection.reset();
        if (task->isCancelled())
            continue;
        QMetaObject::invokeMethod(
            m_owner, [task] { task->deliver(); }, Qt::QueuedConnection);
    }
}

ImapSession::ImapSession(ImapSessionSettings settings, QObject* parent)
    : QObject(parent)
    , m_worker(std::make_unique<Worker>(this, std::move(settings))) {
}

ImapSession::~ImapSession() {
    m_worker.reset();
}

const ImapSessionSettings& ImapSession::settings() const {
    return m_worker->settings();
}

void ImapSession::setOAuth2Token(const QString& token) {
    m_worker->setOAuth2Token(token);
}

std::shared_ptr<ImapOperation> ImapSession::fetchAllFolders(Completion<QList<ImapFolder>> done) {
    return m_worker->submit<QList<ImapFolder>>(
        [](ImapConnection& connection, QList<ImapFolder>* folders) {
            return connection.listFolders(folders);
        },
        std::move(done));
}

std::shared_ptr<ImapOperation> ImapSession::folderInfo(const QString& folder,
                                                       Completion<ImapFolderInfo> done) {
    return m_worker->submit<ImapFolderInfo>(
        [folder](ImapConnection& connection, ImapFolderInfo* info) {
            return connection.folderInfo(folder, info);
        },
        std::move(done));
}

std::shared_ptr<ImapOperation>
ImapSession::fetchMessagesByNumber(const QString& folder, quint32 start, quint32 length,
                                   ImapRequestKind kind, Completion<QList<ImapMessage>> done) {
    const quint32 last = length > std::numeric_limits<quint32>::max() - start
                             ? std::numeric_limits<quint32>::max()
                             : start + length;
    return m_worker->submit<QList<ImapMessage>>(
        [folder, start, last, kind](ImapConnection& connection, QList<ImapMessage>* messages) {
            return connection.fetchByNumber(folder, start, last, kind, messages);
        },
        std::move(done));
}

std::shared_ptr<ImapOperation>
ImapSession::fetchMessagesByUid(const QString& folder, const QList<quint32>& uids,
                                ImapRequestKind kind, Completion<QList<ImapMessage>> done) {
    return m_worker->submit<QList<ImapMessage>>(
        [folder, uids, kind](ImapConnection& connection, QList<ImapMessage>* messages) {
            return connection.fetchByUid(folder, uids, kind, messages);
        },
        std::move(done));
}

std::shared_ptr<ImapOperation> ImapSession::fetchMessage(const QString& folder, quint32 uid,
                                                         Completion<QByteArray> done) {
    return m_worker->submit<QByteArray>(
        [folder, uid](ImapConnection& connection, QByteArray* data) {
            return connection.fetchMessage(folder, uid, data);
        },
        std::move(done));
}

void ImapSession::cancelAll() {
    m_worker->cancelAll();
}

} // namespace tessaly
