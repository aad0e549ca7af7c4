#include "platform/bus/singleinstance.h"

#include "platform/bus/applicationadaptor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>

namespace tessaly {

namespace {
// How long the running instance has to take files or an action handed over: a new start
// waits for it (it has no window of its own yet).
constexpr int kAnswerMs = 10000;
} // namespace

SingleInstance::SingleInstance(QString appId, QObject* parent)
    : QObject(parent)
    , m_appId(std::move(appId)) {
}

SingleInstance::~SingleInstance() {
    if (m_registered) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(objectPath(m_appId));
        bus.unregisterService(m_appId);
    }
}

QString SingleInstance::objectPath(const QString& appId) {
    QString path = QStringLiteral("/") + appId;
    path.replace(u'.', u'/');
    path.replace(u'-', u'_');
    return path;
}

SingleInstance::Role SingleInstance::claim() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        m_error = QStringLiteral("no session bus: ") + bus.lastError().message();
        return Role::Alone;
    }
    // The object is there before the name, so the first call after the name is answered.
    new ApplicationAdaptor(this);
    if (!bus.registerObject(objectPath(m_appId), this)) {
        m_error = QStringLiteral("cannot register %1: %2")
                      .arg(objectPath(m_appId), bus.lastError().message());
        return Role::Alone;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus.interface()->registerService(m_appId, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        bus.unregisterObject(objectPath(m_appId));
        m_error = reply.error().message();
        return Role::Alone;
    }
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        bus.unregisterObject(objectPath(m_appId));
        return Role::Secondary;
    }
    m_registered = true;
    return Role::Primary;
}

namespace {

// What the launcher gave this process to hand on, so the running window may come forward.
QVariantMap platformData() {
    QVariantMap data;
    const QString wayland = qEnvironmentVariable("XDG_ACTIVATION_TOKEN");
    const QString startup = qEnvironmentVariable("DESKTOP_STARTUP_ID");
    if (!wayland.isEmpty()) {
        data.insert(QStringLiteral("activation-token"), wayland);
    }
    if (!startup.isEmpty()) {
        data.insert(QStringLiteral("desktop-startup-id"), startup);
    }
    return data;
}

} // namespace

bool SingleInstance::forward(const QStringList& paths) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString path = objectPath(m_appId);
    const QString interface = QStringLiteral("org.freedesktop.Application");
    QDBusMessage call;
    if (paths.isEmpty()) {
        call = QDBusMessage::createMethodCall(m_appId, path, interface, QStringLiteral("Activate"));
        call << platformData();
    } else {
        QStringList uris;
        for (const QString& file : paths) {
            uris.append(QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded));
        }
        call = QDBusMessage::createMethodCall(m_appId, path, interface, QStringLiteral("Open"));
        call << uris << platformData();
    }
    const QDBusMessage answer = bus.call(call, QDBus::Block, kAnswerMs);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        m_error = answer.errorMessage();
        return false;
    }
    return true;
}

bool SingleInstance::forwardAction(const QString& name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        m_appId, objectPath(m_appId), QStringLiteral("org.freedesktop.Application"),
        QStringLiteral("ActivateAction"));
    call << name << QVariantList() << QVariantMap();
    const QDBusMessage answer = QDBusConnection::sessionBus().call(call, QDBus::Block, kAnswerMs);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        m_error = answer.errorMessage();
        return false;
    }
    return true;
}

} // namespace tessaly
