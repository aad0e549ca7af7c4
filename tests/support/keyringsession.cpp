#include "keyringsession.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QProcess>
#include <QTest>

namespace tessaly::test {

namespace {

constexpr int kStartTimeoutMs = 10000;
const QString kSecretsName = QStringLiteral("org.freedesktop.secrets");

void stop(std::unique_ptr<QProcess>& process) {
    if (!process) {
        return;
    }
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    process.reset();
}

} // namespace

std::unique_ptr<KeyringSession> KeyringSession::start(Mode mode, QString* error) {
    std::unique_ptr<KeyringSession> session(new KeyringSession);
    if (!session->m_home.isValid()) {
        *error = QStringLiteral("no temporary folder: ") + session->m_home.errorString();
        return nullptr;
    }
    for (const char* folder : {"config", "data", "runtime"}) {
        if (!QDir(session->home()).mkpath(QString::fromLatin1(folder))) {
            *error = QStringLiteral("cannot make the temporary home's folders");
            return nullptr;
        }
    }
    // The runtime folder must be private, or the keyring refuses to use it.
    if (!QFile::setPermissions(session->home() + QStringLiteral("/runtime"),
                               QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                   QFileDevice::ExeOwner)) {
        *error = QStringLiteral("cannot make the runtime folder private");
        return nullptr;
    }
    if (!session->startBus(error)) {
        return nullptr;
    }
    if (mode == Mode::WithKeyring && !session->startKeyring(error)) {
        return nullptr;
    }
    return session;
}

KeyringSession::~KeyringSession() {
    stop(m_keyring);
    stop(m_bus);
}

bool KeyringSession::startBus(QString* error) {
    m_bus = std::make_unique<QProcess>();
    m_bus->setProgram(QStringLiteral("dbus-daemon"));
    m_bus->setArguments(
        {QStringLiteral("--config-file=") + QStringLiteral(TESSALY_DBUS_SESSION_CONF),
         QStringLiteral("--print-address=1"), QStringLiteral("--nofork")});
    m_bus->setProcessChannelMode(QProcess::SeparateChannels);
    m_bus->start(QIODevice::ReadOnly);
    if (!m_bus->waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("dbus-daemon did not start: ") + m_bus->errorString();
        return false;
    }
    while (!m_bus->canReadLine() && m_bus->waitForReadyRead(kStartTimeoutMs)) {
    }
    m_busAddress = QString::fromUtf8(m_bus->readLine()).trimmed();
    if (m_busAddress.isEmpty()) {
        *error = QStringLiteral("dbus-daemon printed no address: ") +
                 QString::fromUtf8(m_bus->readAllStandardError());
        return false;
    }
    return true;
}

bool KeyringSession::startKeyring(QString* error) {
    m_keyring = std::make_unique<QProcess>();
    m_keyring->setProcessEnvironment(environment());
    m_keyring->setProgram(QStringLiteral("gnome-keyring-daemon"));
    // With a password on stdin and no keyring yet, it makes the login keyring, unlocked.
    m_keyring->setArguments({QStringLiteral("--unlock"), QStringLiteral("--components=secrets"),
                             QStringLiteral("--foreground")});
    m_keyring->setStandardOutputFile(QProcess::nullDevice());
    m_keyring->setStandardErrorFile(home() + QStringLiteral("/keyring.log"));
    m_keyring->start();
    if (!m_keyring->waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("gnome-keyring-daemon did not start: ") + m_keyring->errorString();
        return false;
    }
    if (m_keyring->write("test-login-password") < 0) {
        *error = QStringLiteral("cannot hand the keyring its password");
        return false;
    }
    m_keyring->closeWriteChannel();

    // Ready once it owns its name and the default collection is there.
    const QString connectionName = QStringLiteral("keyring-session-") + m_busAddress;
    bool ready = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(m_busAddress, connectionName);
        ready = QTest::qWaitFor(
            [&bus] {
                if (!bus.interface()->isServiceRegistered(kSecretsName)) {
                    return false;
                }
                QDBusMessage call = QDBusMessage::createMethodCall(
                    kSecretsName, QStringLiteral("/org/freedesktop/secrets"),
                    QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("ReadAlias"));
                call << QStringLiteral("default");
                const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
                return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
                       qvariant_cast<QDBusObjectPath>(reply.arguments().first()).path() !=
                           QStringLiteral("/");
            },
            kStartTimeoutMs);
    }
    QDBusConnection::disconnectFromBus(connectionName);
    if (!ready) {
        QFile log(home() + QStringLiteral("/keyring.log"));
        *error = QStringLiteral("the keyring did not come up: ") +
                 (log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString());
        return false;
    }
    return true;
}

QProcessEnvironment KeyringSession::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_busAddress);
    env.insert(QStringLiteral("HOME"), home());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home() + QStringLiteral("/runtime"));
    return env;
}

void KeyringSession::applyToCurrentProcess() const {
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_busAddress.toUtf8());
}

KeyringSession::Output KeyringSession::run(const QString& program, const QStringList& arguments,
                                           const QByteArray& input) const {
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, arguments);
    Output output;
    if (!process.waitForStarted(kStartTimeoutMs)) {
        return output;
    }
    const bool written = process.write(input) == input.size();
    process.closeWriteChannel();
    const bool ended = process.waitForFinished(kStartTimeoutMs);
    if (written && ended && process.exitStatus() == QProcess::NormalExit) {
        output.exitCode = process.exitCode();
    }
    output.standardOutput = process.readAllStandardOutput();
    output.standardError = process.readAllStandardError();
    return output;
}

} // namespace tessaly::test
