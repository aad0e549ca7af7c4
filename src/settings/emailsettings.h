#pragma once

#include "platform/keychain/keychain.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace tessaly {

class FXKeychain;
class PreferenceStore;

// How an account signs in.
enum class CredentialKind {
    Password, // a password in the keychain (or none stored yet)
    Command,  // a password command: its first output line is the password
    OAuth     // an OAuth 2 token (Google)
};

// An IMAP account's stored settings, read from and written to the preferences and the keychain
// handed in, with no cache: another writer's change is seen at the next call. The plain
// keychain calls wait for the desktop's keyring; the ones with a context and a completion do
// not (the window's thread uses those), and complete on the context's thread, while this
// object lives.
class EmailSettings {
public:
    // The two sign-in kinds, stored as their names.
    static inline const QString kauth_user_pass = QStringLiteral("kauth_user_pass");
    static inline const QString kauth_google_oauth = QStringLiteral("kauth_google_oauth");

    EmailSettings(PreferenceStore& prefs, FXKeychain& keychain);

    // The source key of an address as typed: without surrounding white space and line breaks.
    // Letter case is kept, so two spellings are two accounts.
    static QString accountKey(const QString& typed);
    // Whether the fields are worth a test connection at all.
    static bool emailAndIMAPAndPasswordLookOK(const QString& address, const QString& serverString,
                                              const QString& password);

    QStringList emailAccounts() const;
    bool hasAccount(const QString& address) const;

    // Creates or updates the account: the server string (empty for none) and, when one is
    // given, the password, which then replaces a password command. The password goes first:
    // when the keychain cannot take it, nothing is changed and the error says why. An empty
    // address changes nothing and is an error too.
    [[nodiscard]] KeychainError setPrefsEmailAddress(const QString& address,
                                                     const QString& imapConfig,
                                                     const QString& password = {});
    // Removes the account from the list with its server string and its credentials (password,
    // password command, trusted certificate). Its sign-in kind, switched-off folders, own
    // destination and formats stay and apply again when the address is added again. The
    // result is the keychain's error when the password item could not be removed; having no
    // password item is no error.
    [[nodiscard]] KeychainError removeAccount(const QString& address);
    // The same without waiting: the preferences change at once, the password item goes later.
    void setPrefsEmailAddress(const QString& address, const QString& imapConfig,
                              const QString& password, QObject* context,
                              std::function<void(const KeychainError& error)> done);
    void removeAccount(const QString& address, QObject* context,
                       std::function<void(const KeychainError& error)> done);

    QString imapConfig(const QString& address) const;
    // The stored password; none when there is none or the keychain cannot be read (error says).
    std::optional<QString> password(const QString& address, KeychainError* error = nullptr) const;
    void
    password(const QString& address, QObject* context,
             std::function<void(const std::optional<QString>& password, const KeychainError& error)>
                 done) const;

    // kauth_user_pass unless the address has stored another kind.
    QString authSystem(const QString& address) const;
    // Nothing when either is empty.
    void setAuthSystem(const QString& kind, const QString& address);

    // The name of the keychain item that holds the account's OAuth 2 token: the stored one, or
    // a new one that is stored at once. "" for an empty address.
    QString keyChainIDForEmail(const QString& address);
    // Nothing when either is empty.
    void setKeyChainID(const QString& name, const QString& address);
    // Seconds since 2001-01-01 UTC and a counter of this process, "%d-%d": unique per run.
    static QString newKeyChainID();

    // The folder a source (account address or folder path) archives into: its own destination
    // when it has one, else the general destination, in either case followed by the source
    // key's last path component. Empty when neither destination is set.
    QString destPathForItem(const QString& sourceKey, bool* hasOverride = nullptr) const;
    // The source's own destination folder; an empty path goes back to the general one.
    void setDestinationFolder(const QString& sourceKey, const QString& folder);

    // Folders the user switched off for archiving, by full path. With an empty address nothing
    // is read or written.
    static QString emailFoldersOffPrefsKey(const QString& address);
    QStringList foldersTurnedOff(const QString& address) const;
    bool isFolderON(const QString& address, const QString& folderPath) const;
    void toggleFolderSetting(const QString& address, const QString& folderPath);
    void setFolderOn(const QString& address, const QString& folderPath, bool on);

    // The password command; "" when the account has none. Setting "" removes it.
    QString passwordCommand(const QString& address) const;
    void setPasswordCommand(const QString& address, const QString& command);

    // The trusted certificate's fingerprint, lowercase hex; "" when none.
    QString trustedCertificate(const QString& address) const;
    // Accepts the fingerprint in either case, with or without ":" between bytes; "" removes it.
    // False, and nothing stored, for anything that is not a SHA-256 fingerprint.
    [[nodiscard]] bool setTrustedCertificate(const QString& address, const QString& sha256);

    // How the account signs in. A password command wins over a stored password.
    CredentialKind credentialKind(const QString& address) const;

private:
    static KeychainError noAddress();
    void storeAccount(const QString& address, const QString& imapConfig, bool passwordStored);
    void forgetAccount(const QString& address);
    void writeFoldersTurnedOff(const QString& address, const QStringList& folders);

    PreferenceStore& m_prefs;
    FXKeychain& m_keychain;
};

} // namespace tessaly
