#include "platform/power/sleepinhibitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace tessaly {

namespace {
const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kInterface = QStringLiteral("org.freedesktop.login1.Manager");
// logind answers at once; a system bus that does not is treated as having none.
constexpr int kAnswerMs = 5000;
} // namespace

SleepInhibitor::SleepInhibitor(QString who, QString why, QObject* parent)
    : QObject(parent)
    , m_who(std::move(who))
    , m_why(std::move(why)) {
}

SleepInhibitor::~SleepInhibitor() = default;

void SleepInhibitor::acquire() {
    if (m_request || held()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        const QString reason = QStringLiteral("no system bus: ") + bus.lastError().message();
        QMetaObject::invokeMethod(
            this, [this, reason] { Q_EMIT failed(reason); }, Qt::QueuedConnection);
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Inhibit"));
    call << QStringLiteral("idle:sleep") << m_who << m_why << QStringLiteral("block");
    // Not activated on demand: without a running logind the answer comes at once.
    call.setAutoStartService(false);
    m_request = std::make_unique<QDBusPendingCallWatcher>(bus.asyncCall(call, kAnswerMs));
    connect(m_request.get(), &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* watcher) {
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
                m_request.release()->deleteLater();
                if (reply.isError()) {
                    Q_EMIT failed(reply.error().message());
                    return;
                }
                m_lock = reply.value();
                if (!m_lock.isValid()) {
                    Q_EMIT failed(QStringLiteral("logind gave no lock"));
                    return;
                }
                Q_EMIT acquired();
            });
}

void SleepInhibitor::release() {
    m_request.reset();
    // The copy is the last holder of the descriptor: closing it ends the lock.
    m_lock = QDBusUnixFileDescriptor();
}

} // namespace tessaly
