#pragma once

#include <QObject>
#include <QString>
#include <QTextStream>
#include <QTimer>

#include <functional>

namespace tessaly {

class JobHost;
class SignalWatcher;

// What both job commands do around their jobs, on standard error: progress while they run
// (redrawn on a terminal, a line per change otherwise), a render box's unwritable path, the
// first caught signal cancelling them, and the index written when they end.
class JobRun : public QObject {
    Q_OBJECT

public:
    // `command` names the command in its messages ("run" gives "tessaly-cli run: ...").
    JobRun(QString command, JobHost& host, SignalWatcher& watcher, QTextStream& err);

    bool terminal() const { return m_terminal; }
    // Clears the progress line a terminal shows, so that a message starts on a clean line.
    void clearLine();

    // Calls `tick` every 200 ms on a terminal, every 2 s otherwise, until stopProgress().
    void startProgress(std::function<void()> tick);
    void stopProgress() { m_progress.stop(); }

    // On a caught signal while `running` says so (always, without it): says so (`what` is
    // "job" or "jobs"), then calls `cancel`.
    void cancelOnSignal(const QString& what, std::function<void()> cancel,
                        std::function<bool()> running = {});

    // Writes what the jobs archived into the search index, saying so when it cannot.
    void flushIndex();

private:
    QString m_command;
    JobHost& m_host;
    SignalWatcher& m_watcher;
    QTextStream& m_err;
    bool m_terminal;
    QTimer m_progress;
};

} // namespace tessaly
