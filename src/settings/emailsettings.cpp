#include "settings/emailsettings.h"

#include "platform/files/pathnames.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"
#include "settings/accountkeys.h"
#include "settings/fxkeychain.h"

#include <QDateTime>
#include <QRegularExpression>

#include <atomic>

namespace tessaly {

namespace {

// 2001-01-01 00:00:00 UTC, where token item names count their seconds from.
constexpr qint64 kReferenceDateSeconds = 978307200;

std::atomic<int> s_keyChainIDCounter{0};

QString joinPath(const QString& folder, const QString& name) {
    return folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
}

} // namespace

EmailSettings::EmailSettings(PreferenceStore& prefs, FXKeychain& keychain)
    : m_prefs(prefs)
    , m_keychain(keychain) {
}

QString EmailSettings::accountKey(const QString& typed) {
    return typed.trimmed();
}

bool EmailSettings::emailAndIMAPAndPasswordLookOK(const QString& address,
                                                  const QString& serverString,
                                                  const QString& password) {
    return address.size() >= 5 && password.size() >= 3 && serverString.size() >= 4;
}

QStringList EmailSettings::emailAccounts() const {
    return m_prefs.stringListValue(accountkeys::emailAccounts);
}

bool EmailSettings::hasAccount(const QString& address) const {
    return emailAccounts().contains(address);
}

KeychainError EmailSettings::setPrefsEmailAddress(const QString& address, const QString& imapConfig,
                                                  const QString& password) {
    if (address.isEmpty()) {
        return noAddress();
    }
    if (!password.isEmpty()) {
        KeychainError error;
        if (!m_keychain.setObject(password, address + accountkeys::passwordSuffix, &error)) {
            return error;
        }
    }
    storeAccount(address, imapConfig, !password.isEmpty());
    return {};
}

void EmailSettings::setPrefsEmailAddress(const QString& address, const QString& imapConfig,
                                         const QString& password, QObject* context,
                                         std::function<void(const KeychainError&)> done) {
    if (address.isEmpty() || password.isEmpty()) {
        done(setPrefsEmailAddress(address, imapConfig, password));
        return;
    }
    m_keychain.setObject(
        password, address + accountkeys::passwordSuffix, context,
        [this, address, imapConfig, done = std::move(done)](bool ok, const KeychainError& error) {
            if (ok) {
                storeAccount(address, imapConfig, true);
            }
            done(ok ? KeychainError{} : error);
        });
}

KeychainError EmailSettings::noAddress() {
    return {KeychainError::Kind::Failed, QStringLiteral("An account needs its address.")};
}

void EmailSettings::storeAccount(const QString& address, const QString& imapConfig,
                                 bool passwordStored) {
    if (passwordStored) {
        m_prefs.remove(address + accountkeys::passwordCommandSuffix);
    }
    QStringList accounts = emailAccounts();
    if (!accounts.contains(address)) {
        accounts.append(address);
        m_prefs.setValue(accountkeys::emailAccounts, accounts);
    }
    m_prefs.setValue(address + accountkeys::imapSuffix, imapConfig);
}

void EmailSettings::forgetAccount(const QString& address) {
    QStringList accounts = emailAccounts();
    if (accounts.removeAll(address) > 0) {
        m_prefs.setValue(accountkeys::emailAccounts, accounts);
    }
    m_prefs.remove(address + accountkeys::imapSuffix);
    m_prefs.remove(address + accountkeys::passwordCommandSuffix);
    m_prefs.remove(address + accountkeys::trustedCertificateSuffix);
}

KeychainError EmailSettings::removeAccount(const QString& address) {
    forgetAccount(address);
    if (address.isEmpty()) {
        return {};
    }
    KeychainError error;
    if (!m_keychain.removeObjectForKey(address + accountkeys::passwordSuffix, &error) &&
        error.kind != KeychainError::Kind::NotFound) {
        return error;
    }
    return {};
}

void EmailSettings::removeAccount(const QString& address, QObject* context,
                                  std::function<void(const KeychainError&)> done) {
    forgetAccount(address);
    if (address.isEmpty()) {
        done({});
        return;
    }
    m_keychain.removeObjectForKey(
        address + accountkeys::passwordSuffix, context,
        [done = std::move(done)](bool ok, const KeychainError& error) {
            done(ok || error.kind == KeychainError::Kind::NotFound ? KeychainError{} : error);
        });
}

QString EmailSettings::imapConfig(const QString& address) const {
    return m_prefs.stringValue(address + accountkeys::imapSuffix);
}

std::optional<QString> EmailSettings::password(const QString& address, KeychainError* error) const {
    if (address.isEmpty()) {
        return std::nullopt;
    }
    const QVariant value = m_keychain.objectForKey(address + accountkeys::passwordSuffix, error);
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value.toString();
}

void EmailSettings::password(
    const QString& address, QObject* context,
    std::function<void(const std::optional<QString>& password, const KeychainError& error)> done)
    const {
    if (address.isEmpty()) {
        done(std::nullopt, {});
        return;
    }
    m_keychain.objectForKey(
        address + accountkeys::passwordSuffix, context,
        [done = std::move(done)](const QVariant& value, const KeychainError& error) {
            done(value.typeId() == QMetaType::QString ? std::optional<QString>(value.toString())
                                                      : std::nullopt,
                 error);
        });
}

QString EmailSettings::authSystem(const QString& address) const {
    if (address.isEmpty()) {
        return kauth_user_pass;
    }
    const QString kind = m_prefs.stringValue(address + accountkeys::authSystemSuffix);
    return kind.isEmpty() ? kauth_user_pass : kind;
}

void EmailSettings::setAuthSystem(const QString& kind, const QString& address) {
    if (kind.isEmpty() || address.isEmpty()) {
        return;
    }
    m_prefs.setValue(address + accountkeys::authSystemSuffix, kind);
}

QString EmailSettings::keyChainIDForEmail(const QString& address) {
    if (address.isEmpty()) {
        return {};
    }
    const QString stored = m_prefs.stringValue(address + accountkeys::oauthKeySuffix);
    if (!stored.isEmpty()) {
        return stored;
    }
    const QString name = newKeyChainID();
    setKeyChainID(name, address);
    return name;
}

void EmailSettings::setKeyChainID(const QString& name, const QString& address) {
    if (name.isEmpty() || address.isEmpty()) {
        return;
    }
    m_prefs.setValue(address + accountkeys::oauthKeySuffix, name);
}

QString EmailSettings::newKeyChainID() {
    const auto seconds =
        static_cast<qint32>(QDateTime::currentSecsSinceEpoch() - kReferenceDateSeconds);
    const int counter = s_keyChainIDCounter.fetch_add(1);
    return QStringLiteral("%1-%2").arg(seconds).arg(counter);
}

QString EmailSettings::destPathForItem(const QString& sourceKey, bool* hasOverride) const {
    const QString name = lastPathComponent(sourceKey);
    // The folder itself, as chosen; a folder on a drive that is not mounted is still the one
    // the user chose: jobs refuse to start until it is back.
    const QString own =
        URLBookmarkInPrefs::URLFromPrefsForKey(m_prefs, sourceKey + accountkeys::destinationSuffix)
            .path;
    if (hasOverride) {
        *hasOverride = !own.isEmpty();
    }
    if (!own.isEmpty()) {
        return joinPath(own, name);
    }
    const QString general =
        URLBookmarkInPrefs::URLFromPrefsForKey(m_prefs, prefkeys::destBookmarkURL).path;
    return general.isEmpty() ? QString() : joinPath(general, name);
}

void EmailSettings::setDestinationFolder(const QString& sourceKey, const QString& folder) {
    if (sourceKey.isEmpty()) {
        return;
    }
    const QString key = sourceKey + accountkeys::destinationSuffix;
    if (URLBookmarkInPrefs::setURL(m_prefs, folder, key).isEmpty()) {
        URLBookmarkInPrefs::removeBookmarkForKeyBase(m_prefs, key);
    }
}

QString EmailSettings::emailFoldersOffPrefsKey(const QString& address) {
    return address.isEmpty() ? QString() : address + accountkeys::ignoreFoldersSuffix;
}

QStringList EmailSettings::foldersTurnedOff(const QString& address) const {
    const QString key = emailFoldersOffPrefsKey(address);
    return key.isEmpty() ? QStringList() : m_prefs.stringListValue(key);
}

bool EmailSettings::isFolderON(const QString& address, const QString& folderPath) const {
    return !foldersTurnedOff(address).contains(folderPath);
}

void EmailSettings::toggleFolderSetting(const QString& address, const QString& folderPath) {
    setFolderOn(address, folderPath, !isFolderON(address, folderPath));
}

void EmailSettings::setFolderOn(const QString& address, const QString& folderPath, bool on) {
    if (address.isEmpty()) {
        return;
    }
    QStringList off = foldersTurnedOff(address);
    if (on) {
        off.removeAll(folderPath);
    } else if (!off.contains(folderPath)) {
        off.append(folderPath);
    }
    writeFoldersTurnedOff(address, off);
}

void EmailSettings::writeFoldersTurnedOff(const QString& address, const QStringList& folders) {
    m_prefs.setValue(emailFoldersOffPrefsKey(address), folders);
}

QString EmailSettings::passwordCommand(const QString& address) const {
    return m_prefs.stringValue(address + accountkeys::passwordCommandSuffix);
}

void EmailSettings::setPasswordCommand(const QString& address, const QString& command) {
    if (address.isEmpty()) {
        return;
    }
    if (command.trimmed().isEmpty()) {
        m_prefs.remove(address + accountkeys::passwordCommandSuffix);
    } else {
        m_prefs.setValue(address + accountkeys::passwordCommandSuffix, command);
    }
}

QString EmailSettings::trustedCertificate(const QString& address) const {
    return m_prefs.stringValue(address + accountkeys::trustedCertificateSuffix);
}

bool EmailSettings::setTrustedCertificate(const QString& address, const QString& sha256) {
    if (address.isEmpty()) {
        return false;
    }
    if (sha256.isEmpty()) {
        m_prefs.remove(address + accountkeys::trustedCertificateSuffix);
        return true;
    }
    static const QRegularExpression fingerprint(
        QStringLiteral("^(?:[0-9a-f]{64}|[0-9a-f]{2}(?::[0-9a-f]{2}){31})$"),
        QRegularExpression::CaseInsensitiveOption);
    const QString trimmed = sha256.trimmed();
    if (!fingerprint.match(trimmed).hasMatch()) {
        return false;
    }
    m_prefs.setValue(address + accountkeys::trustedCertificateSuffix,
                     trimmed.toLower().remove(u':'));
    return true;
}

CredentialKind EmailSettings::credentialKind(const QString& address) const {
    if (authSystem(address) == kauth_google_oauth) {
        return CredentialKind::OAuth;
    }
    if (!passwordCommand(address).isEmpty()) {
        return CredentialKind::Command;
    }
    return CredentialKind::Password;
}

} // namespace tessaly
