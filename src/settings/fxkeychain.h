#pragma once

#include "platform/keychain/keychain.h"

#include <QString>
#include <QVariant>

#include <memory>

namespace tessaly {

// Values kept in the user's keychain under a key (the item's account attribute) and this
// instance's service. Strings are stored as their UTF-8 text, so other keyring tools show
// them as they are; other values, and the rare string whose text would read as a property
// list, as binary property lists. Reading takes a property list (binary or XML) first and
// UTF-8 text second. Failures are logged here and come back as false or an invalid value;
// callers that tell the user why pass a KeychainError. Every call waits for the keychain (see
// Keychain).
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

private:
    std::shared_ptr<Keychain> m_keychain;
    QString m_service;
};

} // namespace tessaly
