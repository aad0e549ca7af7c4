#include "app/cli/jobrun.h"

#include "app/cli/signalwatcher.h"
#include "app/jobhost.h"

#include <unistd.h>

namespace tessaly {

namespace {
constexpr int kTerminalProgressMs = 200;
// A log or a pipe takes a line per change, and changes are not looked for more often.
constexpr int kPlainProgressMs = 2000;
} // namespace

JobRun::JobRun(QString command, JobHost& host, SignalWatcher& watcher, QTextStream& err)
    : m_command(std::move(command))
    , m_host(host)
    , m_watcher(watcher)
    , m_err(err)
    , m_terminal(::isatty(STDERR_FILENO) == 1) {
    m_progress.setInterval(m_terminal ? kTerminalProgressMs : kPlainProgressMs);
    connect(&m_host.controller(), &ArchiveController::unwritablePath, this,
            [this](const QString& path, const QString& why) {
                clearLine();
                m_err << "\nPDF failed to write. The path " << path
                      << " failed to write.\n\n The error was " << why << '\n';
                m_err.flush();
            });
}

void JobRun::clearLine() {
    if (m_terminal) {
        m_err << "\r\033[K";
    }
}

void JobRun::startProgress(std::function<void()> tick) {
    connect(&m_progress, &QTimer::timeout, this, std::move(tick));
    m_progress.start();
}

void JobRun::cancelOnSignal(const QString& what, std::function<void()> cancel,
                            std::function<bool()> running) {
    connect(
        &m_watcher, &SignalWatcher::caught, this,
        [this, what, cancel = std::move(cancel), running = std::move(running)](int signalNumber) {
            if (running && !running()) {
                return;
            }
            clearLine();
            m_err << "tessaly-cli " << m_command << ": " << SignalWatcher::nameOf(signalNumber)
                  << " received, cancelling the " << what << " (send it again to stop at once)\n";
            m_err.flush();
            cancel();
        });
}

void JobRun::flushIndex() {
    QString error;
    if (!m_host.flushIndex(&error)) {
        m_err << "tessaly-cli " << m_command
              << ": the archived files are not in the search index yet (" << error
              << "); tessaly-cli index adds them\n";
    }
}

} // namespace tessaly
