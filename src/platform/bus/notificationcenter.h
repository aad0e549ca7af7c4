#pragma once

#include <QObject>
#include <QString>

namespace tessaly {

// Notifications between the application and its render boxes: a name and an object string,
// delivered to every process of the user's session (the sender included), as D-Bus signals on
// the session bus.
class NotificationCenter : public QObject {
    Q_OBJECT

public:
    // The shared center of this process, on the session bus.
    static NotificationCenter* distributed();

    explicit NotificationCenter(QObject* parent = nullptr);

    // Without a session bus nothing can reach a render box.
    bool isConnected() const { return m_connected; }
    QString connectionError() const { return m_error; }
    void post(const QString& name, const QString& object);

Q_SIGNALS:
    void notified(const QString& name, const QString& object);

private Q_SLOTS:
    void onPosted(const QString& name, const QString& object);

private:
    bool m_connected = false;
    QString m_error;
};

} // namespace tessaly
