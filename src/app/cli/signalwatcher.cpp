#include "app/cli/signalwatcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tessaly {

namespace {

// What the handler shares with the watcher: lock-free atomics only.
std::atomic<int> g_writeFd{-1};
std::atomic<int> g_firstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Runs as the real signal handler: only async-signal-safe calls (write, _exit).
void onTerminationSignal(int signalNumber) {
    const int savedErrno = errno;
    int none = 0;
    if (!g_firstSignal.compare_exchange_strong(none, signalNumber)) {
        // Asked a second time: stop now. Render boxes end with this process (they are
        // launched with PR_SET_PDEATHSIG), and the first signal has already told them to quit
        // when the event loop got to it.
        ::_exit(SignalWatcher::exitStatusFor(signalNumber));
    }
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    const int fd = g_writeFd.load();
    if (fd >= 0 && ::write(fd, &byte, 1) < 0) {
        // Nothing to do about it here: caughtSignal() still tells.
    }
    errno = savedErrno;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

// The pipe and the dispositions it replaced. Destroyed, it restores them before it closes the
// pipe, so that no handler is left to write into a closed (or reused) descriptor.
struct SignalWatcher::Installed {
    Installed(int readFd, int writeFd)
        : readEnd(readFd)
        , writeEnd(writeFd) {
        g_firstSignal.store(0);
        g_writeFd.store(writeFd);
    }
    ~Installed() {
        for (auto it = previous.rbegin(); it != previous.rend(); ++it) {
            ::sigaction(it->first, &it->second, nullptr);
        }
        g_writeFd.store(-1);
    }
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;

    FileDescriptor readEnd;
    FileDescriptor writeEnd;
    std::vector<std::pair<int, struct sigaction>> previous;
};

SignalWatcher::SignalWatcher(const QList<int>& signalNumbers, QObject* parent)
    : QObject(parent) {
    if (g_writeFd.load() >= 0) {
        m_error = QStringLiteral("another signal watcher is active");
        return;
    }
    int fds[2];
    // Close-on-exec: the render boxes this process starts must not hold the pipe.
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_error = QStringLiteral("cannot make a pipe for signals: ") + errnoText(errno);
        return;
    }
    auto installed = std::make_unique<Installed>(fds[0], fds[1]);

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    ::sigemptyset(&action.sa_mask);
    // One handler at a time: a second signal waits until the first has been recorded.
    for (int signalNumber : signalNumbers) {
        ::sigaddset(&action.sa_mask, signalNumber);
    }
    action.sa_flags = SA_RESTART;
    for (int signalNumber : signalNumbers) {
        struct sigaction old {};
        if (::sigaction(signalNumber, nullptr, &old) != 0) {
            m_error = QStringLiteral("cannot read the disposition of ") + nameOf(signalNumber) +
                      QStringLiteral(": ") + errnoText(errno);
            return; // `installed` puts back what was changed so far
        }
        if ((old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_IGN) {
            continue; // ignored by whoever started us: left so
        }
        if (::sigaction(signalNumber, &action, &old) != 0) {
            m_error = QStringLiteral("cannot handle ") + nameOf(signalNumber) +
                      QStringLiteral(": ") + errnoText(errno);
            return;
        }
        installed->previous.emplace_back(signalNumber, old);
    }
    m_notifier = new QSocketNotifier(installed->readEnd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
    m_installed = std::move(installed);
    m_active = true;
}

SignalWatcher::~SignalWatcher() {
    // The notifier goes before the descriptor it watches.
    delete m_notifier;
    m_notifier = nullptr;
    m_installed.reset();
}

int SignalWatcher::caughtSignal() const {
    return m_active ? g_firstSignal.load() : 0;
}

QString SignalWatcher::nameOf(int signalNumber) {
    switch (signalNumber) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    case SIGQUIT:
        return QStringLiteral("SIGQUIT");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

void SignalWatcher::readPipe() {
    unsigned char buffer[16];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(m_installed->readEnd.get(), buffer, sizeof buffer);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        break; // drained (EAGAIN), or nothing more will come
    }
    const int signalNumber = g_firstSignal.load();
    if (any && signalNumber != 0 && !std::exchange(m_reported, true)) {
        Q_EMIT caught(signalNumber);
    }
}

} // namespace tessaly
