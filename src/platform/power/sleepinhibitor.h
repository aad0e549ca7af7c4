#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

#include <memory>

class QDBusPendingCallWatcher;

namespace tessaly {

// Keeps the computer from going to sleep while it is held: a logind inhibitor lock
// ("idle:sleep", mode "block") taken over the system bus. The lock lasts as long as its file
// descriptor is open, so releasing it, or the process ending, lets the computer sleep again.
// Taking it does not block: the answer arrives on the event loop.
class SleepInhibitor : public QObject {
    Q_OBJECT

public:
    explicit SleepInhibitor(QString who, QString why, QObject* parent = nullptr);
    ~SleepInhibitor() override;

    // Asks logind for the lock; acquired() or failed() follows. Does nothing while a request
    // runs or the lock is held.
    void acquire();
    // Lets the computer sleep again (and forgets a request still under way).
    void release();
    bool held() const { return m_lock.isValid(); }
    // The descriptor of the lock held, or -1.
    int descriptor() const { return m_lock.isValid() ? m_lock.fileDescriptor() : -1; }

Q_SIGNALS:
    void acquired();
    void failed(const QString& reason);

private:
    QString m_who;
    QString m_why;
    QDBusUnixFileDescriptor m_lock;
    std::unique_ptr<QDBusPendingCallWatcher> m_request;
};

} // namespace tessaly
