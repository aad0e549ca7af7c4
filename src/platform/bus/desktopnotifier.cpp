#include "platform/bus/desktopnotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace tessaly {

namespace {
// A notification server that has not answered by then is not going to.
constexpr int kAnswerMs = 5000;
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
} // namespace

DesktopNotifier::DesktopNotifier(QString appName, QString desktopEntry, QObject* parent)
    : QObject(parent)
    , m_appName(std::move(appName))
    , m_desktopEntry(std::move(desktopEntry)) {
}

void DesktopNotifier::notify(const QString& summary, const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        Q_EMIT failed(QStringLiteral("no session bus"));
        return;
    }
    if (!m_listening) {
        bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(onActionInvoked(uint, QString)));
        bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(onClosed(uint, uint)));
        // Sent just before ActionInvoked by servers that support it.
        bus.connect(kService, kPath, kInterface, QStringLiteral("ActivationToken"), this,
                    SLOT(onActivationToken(uint, QString)));
        m_listening = true;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), m_desktopEntry);
    // "default" is the action of clicking the notification itself.
    const QStringList actions{QStringLiteral("default"), tr("Show Tessaly")};
    // Servers that take markup in the body would read "<" and "&" of paths and names as tags.
    call << m_appName << uint(0) << m_desktopEntry << summary << body.toHtmlEscaped() << actions
         << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kAnswerMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                finished->deleteLater();
                if (reply.isError()) {
                    Q_EMIT failed(reply.error().message());
                    return;
                }
                m_shown.insert(reply.value());
            });
}

void DesktopNotifier::onActionInvoked(uint id, const QString& action) {
    // The signal goes to every client of the server: only our own notifications count.
    if (m_shown.contains(id) && action == QStringLiteral("default")) {
        Q_EMIT clicked(m_tokens.take(id));
    }
}

void DesktopNotifier::onActivationToken(uint id, const QString& token) {
    if (m_shown.contains(id)) {
        m_tokens.insert(id, token);
    }
}

void DesktopNotifier::onClosed(uint id, uint reason) {
    Q_UNUSED(reason)
    m_shown.remove(id);
    m_tokens.remove(id);
}

} // namespace tessaly
