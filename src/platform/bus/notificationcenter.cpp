#include "platform/bus/notificationcenter.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>

namespace tessaly {

namespace {
const QString kPath = QStringLiteral("/org/tessaly/Notifications");
const QString kInterface = QStringLiteral("org.tessaly.Notifications");
const QString kSignal = QStringLiteral("Posted");
} // namespace

NotificationCenter* NotificationCenter::distributed() {
    static NotificationCenter* center = new NotificationCenter();
    return center;
}

NotificationCenter::NotificationCenter(QObject* parent)
    : QObject(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        m_error = bus.lastError().message();
        if (m_error.isEmpty()) {
            m_error = QStringLiteral("no D-Bus session bus (DBUS_SESSION_BUS_ADDRESS is not set)");
        }
        return;
    }
    m_connected =
        bus.connect(QString(), kPath, kInterface, kSignal, this, SLOT(onPosted(QString, QString)));
    if (!m_connected) {
        m_error = bus.lastError().message();
    }
}

void NotificationCenter::post(const QString& name, const QString& object) {
    if (!m_connected) {
        return;
    }
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, kSignal);
    signal << name << object;
    QDBusConnection::sessionBus().send(signal);
}

void NotificationCenter::onPosted(const QString& name, const QString& object) {
    Q_EMIT notified(name, object);
}

} // namespace tessaly
