#pragma once

#include <QObject>
#include <QString>

#include <chrono>

class QProcess;
class QTimer;

namespace tessaly {

struct PasswordCommandResult {
    QString password; // set when error is empty
    // One line for a person: the exit status and the first line the command wrote to stderr.
    // Never anything it wrote to stdout, which may be the password.
    QString error;

    bool ok() const { return error.isEmpty(); }
};

// Runs an account's password command through /bin/sh -c, stdin closed, and takes the first
// line of its output, without the line break, as the password. A command that exits with an
// error, prints an empty first line or runs past the timeout gives an error instead. Runs on
// the event loop of the thread it lives in.
class PasswordCommand : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{30000};

    explicit PasswordCommand(const QString& command, QObject* parent = nullptr);
    ~PasswordCommand() override; // ends a command still running

    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }
    // Starts the command once; finished() follows, always from the event loop.
    void start();

    // Runs the command and waits for it, with an event loop of its own: for a worker thread
    // or the command-line tool, never for the GUI thread.
    static PasswordCommandResult run(const QString& command,
                                     std::chrono::milliseconds timeout = kDefaultTimeout);

Q_SIGNALS:
    void finished(const tessaly::PasswordCommandResult& result);

private:
    void readOutput();
    void readErrors();
    void complete(PasswordCommandResult result);

    QString m_command;
    std::chrono::milliseconds m_timeout = kDefaultTimeout;
    QProcess* m_process = nullptr;
    QTimer* m_timer = nullptr;
    QByteArray m_firstLine;
    bool m_firstLineDone = false;
    QByteArray m_firstErrorLine;
    bool m_firstErrorLineDone = false;
    bool m_timedOut = false;
    bool m_finished = false;
};

} // namespace tessaly
