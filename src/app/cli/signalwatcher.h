#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

namespace tessaly {

// Turns termination signals (SIGINT, SIGTERM, SIGHUP, ...) into the Qt signal `caught`, sent
// from the event loop of the thread that made the watcher, so that a job can be stopped in an
// orderly way. The real handler only writes the signal's number to a pipe (the self-pipe
// trick) and records it; a second signal, of any of the watched kinds, ends the process at
// once with _exit(128 + its number), without running anything else, whether or not the
// event loop is free.
//
// A self-pipe rather than signalfd: signalfd needs the signals blocked in every thread, and a
// blocked mask is inherited by child processes, which would leave render boxes deaf to the
// SIGTERM they get when their launcher dies.
//
// A signal that was ignored when the watcher was made (`nohup` ignores SIGHUP, a shell ignores
// SIGINT for a background job) stays ignored. The previous dispositions come back when the
// watcher is destroyed. One watcher at a time per process.
class SignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit SignalWatcher(const QList<int>& signalNumbers, QObject* parent = nullptr);
    ~SignalWatcher() override;
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // False when the pipe or a handler could not be installed (errorString says why); the
    // signals then keep their previous dispositions.
    bool isActive() const { return m_active; }
    const QString& errorString() const { return m_error; }
    // The first signal caught (also one the event loop has not reported yet), 0 if none.
    int caughtSignal() const;

    // The conventional exit status of a process stopped by `signalNumber`: 128 + its number.
    static int exitStatusFor(int signalNumber) { return 128 + signalNumber; }
    // "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
    static QString nameOf(int signalNumber);

Q_SIGNALS:
    // The first watched signal, once; later ones end the process before they get here.
    void caught(int signalNumber);

private:
    void readPipe();

    struct Installed;
    std::unique_ptr<Installed> m_installed;
    QSocketNotifier* m_notifier = nullptr;
    bool m_active = false;
    bool m_reported = false;
    QString m_error;
};

} // namespace tessaly
