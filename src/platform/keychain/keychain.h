#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace tessaly {

struct KeychainError {
    // The numbers are the status a log line shows.
    enum class Kind {
        None = 0,
        NotFound = 1,    // no item for the service and account
        Unavailable = 2, // no secure store to talk to; nothing was read or written
        Failed = 3       // the store answered with an error (locked and not unlocked, say)
    };
    Kind kind = Kind::None;
    // One line for a person; empty with None and NotFound.
    QString message;

    bool isError() const { return kind != Kind::None; }
    long status() const { return static_cast<long>(kind); }
};

struct KeychainLookup {
    std::optional<QByteArray> data; // set exactly when error is None
    KeychainError error;
};

// The user's secure store of secrets. An item is named by its service and account; an empty
// service means items carry no service attribute (a lookup then matches any service). Calls
// wait for the store's answer, which is quick but may ask the user to unlock a keyring:
// fine on a worker thread or in the command-line tool, and on the GUI thread for single calls.
class Keychain {
public:
    virtual ~Keychain() = default;

    virtual KeychainLookup find(const QString& service, const QString& account) const = 0;
    // Replaces what is stored under the name: exactly one item holds it afterwards.
    [[nodiscard]] virtual KeychainError store(const QString& service, const QString& account,
                                              const QByteArray& data, const QString& label) = 0;
    // Every item under the name; NotFound when there was none.
    [[nodiscard]] virtual KeychainError remove(const QString& service, const QString& account) = 0;
};

// The desktop's Secret Service (GNOME Keyring, KeePassXC, KWallet's bridge) on the session bus,
// in its default collection. Without one, every call fails at once with Unavailable: secrets
// are never kept anywhere else.
class SecretServiceKeychain final : public Keychain {
public:
    KeychainLookup find(const QString& service, const QString& account) const override;
    [[nodiscard]] KeychainError store(const QString& service, const QString& account,
                                      const QByteArray& data, const QString& label) override;
    [[nodiscard]] KeychainError remove(const QString& service, const QString& account) override;

    // What Unavailable says.
    static QString unavailableMessage();
};

} // namespace tessaly
