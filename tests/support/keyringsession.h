#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class QProcess;

namespace tessaly::test {

// A private D-Bus session bus, and on it a GNOME Keyring Secret Service whose login keyring is
// made and unlocked with a known password, in a temporary home of its own. Works as root and
// without a display. Both daemons end with the object.
class KeyringSession {
public:
    enum class Mode {
        WithKeyring,
        BusOnly // a session bus on which no Secret Service runs or can be started
    };

    // Null with the reason when the bus or the keyring did not come up in 10 s.
    static std::unique_ptr<KeyringSession> start(Mode mode, QString* error);
    ~KeyringSession();

    KeyringSession(const KeyringSession&) = delete;
    KeyringSession& operator=(const KeyringSession&) = delete;

    QString busAddress() const { return m_busAddress; }
    // The temporary home: HOME, and XDG_CONFIG_HOME, XDG_DATA_HOME (the keyring's files) and
    // XDG_RUNTIME_DIR inside it.
    QString home() const { return m_home.path(); }
    // For processes started in the session: the system environment with the bus and the
    // temporary home.
    QProcessEnvironment environment() const;
    // Points this process's session bus at this one. GDBus keeps the first session bus it
    // connects to, so this must come before the process's first keychain call.
    void applyToCurrentProcess() const;

    struct Output {
        int exitCode = -1; // -1 when it did not start, crashed or ran over 10 s
        QByteArray standardOutput;
        QByteArray standardError;
    };
    // Runs a program of the session (secret-tool, say) with the input on its stdin.
    Output run(const QString& program, const QStringList& arguments,
               const QByteArray& input = {}) const;

private:
    KeyringSession() = default;
    bool startBus(QString* error);
    bool startKeyring(QString* error);

    QTemporaryDir m_home;
    std::unique_ptr<QProcess> m_bus;
    std::unique_ptr<QProcess> m_keyring;
    QString m_busAddress;
};

} // namespace tessaly::test
