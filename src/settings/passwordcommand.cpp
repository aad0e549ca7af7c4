#include "settings/passwordcommand.h"

#include "settings/settingslog.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <csignal>
#include <unistd.h>

namespace tessaly {

namespace {
// A command killed outright ends at once: its exit is collected, not waited on long.
constexpr int kReapMs = 1000;

// A password is one short line; whatever follows is read and dropped, so a command that
// floods its output cannot fill the memory before the timeout ends it.
constexpr qsizetype kMaxLineBytes = 64 * 1024;
constexpr qsizetype kMaxErrorLineChars = 200;

// Appends to the first line until its line break; returns whether the line is complete.
bool collectFirstLine(QByteArray& line, const QByteArray& chunk) {
    const qsizetype newline = chunk.indexOf('\n');
    line += newline < 0 ? chunk : chunk.left(newline);
    if (line.size() > kMaxLineBytes) {
        line.truncate(kMaxLineBytes);
        return true;
    }
    return newline >= 0;
}

QString secondsText(std::chrono::milliseconds timeout) {
    if (timeout.count() % 1000 == 0) {
        return QString::number(timeout.count() / 1000);
    }
    return QString::number(static_cast<double>(timeout.count()) / 1000.0);
}

} // namespace

PasswordCommand::PasswordCommand(const QString& command, QObject* parent)
    : QObject(parent)
    , m_command(command) {
}

PasswordCommand::~PasswordCommand() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        const qint64 pid = m_process->processId();
        if (pid > 0) {
            ::kill(-static_cast<pid_t>(pid), SIGKILL);
        }
        m_process->waitForFinished(kReapMs);
    }
}

void PasswordCommand::start() {
    if (m_process || m_finished) {
        return;
    }
    if (m_command.trimmed().isEmpty()) {
        complete({{}, QStringLiteral("No password command is set.")});
        return;
    }
    m_process = new QProcess(this);
    m_process->setProgram(QStringLiteral("/bin/sh"));
    m_process->setArguments({QStringLiteral("-c"), m_command});
    m_process->setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so a command that started others (a pipeline, say) is ended whole
    // when it runs too long.
    m_process->setChildProcessModifier([] {
        if (::setpgid(0, 0) != 0) {
            // Then only the shell itself is ended on a timeout.
        }
    });
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        const qint64 pid = m_process->processId();
        if (pid > 0) {
            ::kill(-static_cast<pid_t>(pid), SIGKILL);
        }
        m_process->kill();
    });
    connect(m_process, &QProcess::readyReadStandardOutput, this, &PasswordCommand::readOutput);
    connect(m_process, &QProcess::readyReadStandardError, this, &PasswordCommand::readErrors);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            m_timer->stop();
            complete({{},
                      QStringLiteral("The password command could not be started: %1")
                          .arg(m_process->errorString())});
        }
    });
    connect(
        m_process, &QProcess::finished, this,
        [this](int exitCode, QProcess::ExitStatus exitStatus) {
            m_timer->stop();
            readOutput();
            readErrors();
            QString stderrLine = QString::fromUtf8(m_firstErrorLine).trimmed();
            if (stderrLine.size() > kMaxErrorLineChars) {
                stderrLine = stderrLine.left(kMaxErrorLineChars) + u'…';
            }
            const QString detail =
                stderrLine.isEmpty() ? QString() : QStringLiteral(": ") + stderrLine;
            if (m_timedOut) {
                complete({{},
                          QStringLiteral("The password command gave no password within "
                                         "%1 s and was stopped%2")
                              .arg(secondsText(m_timeout), detail)});
            } else if (exitStatus == QProcess::CrashExit) {
                complete(
                    {{},
                     QStringLiteral("The password command was ended by a signal%1").arg(detail)});
            } else if (exitCode != 0) {
                complete({{},
                          QStringLiteral("The password command failed with exit status "
                                         "%1%2")
                              .arg(exitCode)
                              .arg(detail)});
            } else {
                QByteArray line = m_firstLine;
                if (line.endsWith('\r')) {
                    line.chop(1);
                }
                if (line.size() >= kMaxLineBytes) {
                    complete({{},
                              QStringLiteral("The password command printed a first line of "
                                             "64 KiB or more, which is no password")});
                } else if (line.isEmpty()) {
                    complete({{},
                              QStringLiteral("The password command printed no password "
                                             "on its first line%1")
                                  .arg(detail)});
                } else {
                    complete({QString::fromUtf8(line), {}});
                }
            }
        });
    m_timer->start(m_timeout);
    m_process->start(QIODevice::ReadOnly);
}

void PasswordCommand::readOutput() {
    const QByteArray chunk = m_process->readAllStandardOutput();
    if (!m_firstLineDone && !chunk.isEmpty()) {
        m_firstLineDone = collectFirstLine(m_firstLine, chunk);
    }
}

void PasswordCommand::readErrors() {
    const QByteArray chunk = m_process->readAllStandardError();
    if (!m_firstErrorLineDone && !chunk.isEmpty()) {
        m_firstErrorLineDone = collectFirstLine(m_firstErrorLine, chunk);
    }
}

void PasswordCommand::complete(PasswordCommandResult result) {
    if (m_finished) {
        return;
    }
    m_finished = true;
    if (!result.ok()) {
        qCWarning(lcSettings).noquote() << result.error;
    }
    // Always from the event loop, also when the command could not even start: a caller that
    // connects after start() or waits in a loop of its own still sees it.
    QMetaObject::invokeMethod(
        this, [this, result] { Q_EMIT finished(result); }, Qt::QueuedConnection);
}

PasswordCommandResult PasswordCommand::run(const QString& command,
                                           std::chrono::milliseconds timeout) {
    PasswordCommandResult result;
    QEventLoop loop;
    PasswordCommand task(command);
    task.setTimeout(timeout);
    connect(&task, &PasswordCommand::finished, &loop,
            [&result, &loop](const PasswordCommandResult& done) {
                result = done;
                loop.quit();
            });
    task.start();
    loop.exec();
    return result;
}

} // namespace tessaly
