#include "logindmock.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QThread>

namespace tessaly::test {

LogindMock::~LogindMock() {
    m_logind.kill();
    m_logind.waitForFinished();
    m_bus.kill();
    m_bus.waitForFinished();
}

bool LogindMock::startBus(const QString& busConfig) {
    m_bus.start("dbus-daemon", {"--config-file=" + busConfig, "--print-address", "--nofork"});
    if (!m_bus.waitForReadyRead(10000)) {
        qWarning("dbus-daemon did not start");
        return false;
    }
    const QByteArray address = m_bus.readLine().trimmed();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    return !address.isEmpty() && QDBusConnection::systemBus().isConnected();
}

bool LogindMock::startLogind() {
    m_logind.start("/usr/bin/python3", {"-m", "dbusmock", "--system", "--template", "logind"});
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (QDBusConnection::systemBus().interface()->isServiceRegistered(
                "org.freedesktop.login1")) {
            return true;
        }
        QThread::msleep(50);
    }
    qWarning("logind's stand-in did not come up: %s", m_logind.readAllStandardError().constData());
    return false;
}

int LogindMock::inhibitors() {
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.freedesktop.login1", "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "ListInhibitors");
    const QDBusMessage reply = QDBusConnection::systemBus().call(call);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return -1;
    }
    const QDBusArgument list = reply.arguments().first().value<QDBusArgument>();
    int count = 0;
    list.beginArray();
    while (!list.atEnd()) {
        QString what, who, why, mode;
        uint uid = 0, pid = 0;
        list.beginStructure();
        list >> what >> who >> why >> mode >> uid >> pid;
        list.endStructure();
        if (what == "idle:sleep" && who == "Tessaly" && mode == "block" &&
            why == "Tessaly busy archiving Email") {
            ++count;
        }
    }
    list.endArray();
    return count;
}

} // namespace tessaly::test
