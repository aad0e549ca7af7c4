#pragma once

#include "platform/keychain/keychain.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

namespace tessaly {

// Values kept in the user's keychain under a key (the item's account attribute) and this
// instance's service. Strings are stored as their UTF-8 text, so other keyring tools show
// them as they are; other values, and the rare string whose text would read as a property
// list, as binary property lists. Reading takes a property list (binary or XML) first and
// UTF-8 text second. Failures are logged here and come back as false or an invalid value;
// callers that tell the user why pass a KeychainError. The plain calls wait for the keychain
// (see Keychain); the window's thread uses the ones that take a context and a completion.
class FXKeychain {
public:
    explicit FXKeychain(std::shared_ptr<Keychain> keychain, const QString& service = {});

    // The application's own items in the desktop's keyring, made once per process.
    static FXKeychain& defaultKeychain();
    // The service of the application's items: its application id.
    static QString applicationService();

    const QString& service() const { return m_service; }

    // An invalid value removes the item.
    [[nodiscard]] bool setObject(const QVariant& value, const QString& key,
                                 KeychainError* error = nullptr);
    // False, and a log line, when there was nothing to remove.
    [[nodiscard]] bool removeObjectForKey(const QString& key, KeychainError* error = nullptr);
    // The stored value, or an invalid one when there is none or it cannot be read.
    QVariant objectForKey(const QString& key, KeychainError* error = nullptr) const;

    // The same calls without waiting: a keyring may take its time (asking the user to unlock
    // it, say), and the window must not freeze meanwhile. They run one after another, in the
    // order asked, on a thread of their own; `done` is called on the thread of `context`,
    // and not at all once `context` is gone.
    using Stored = std::function<void(bool ok, const KeychainError& error)>;
    void setObject(const QVariant& value, const QString& key, QObject* context, Stored done);
    void removeObjectForKey(const QString& key, QObject* context, Stored done);
    void
    objectForKey(const QString& key, QObject* context,
                 std::function<void(const QVariant& value, const KeychainError& error)> done) const;

private:
    std::shared_ptr<Keychain> m_keychain;
    QString m_service;
};

} // namespace tessaly
