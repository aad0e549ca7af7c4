#include "settings/accounttester.h"

#include "settings/emailsettings.h"
#include "settings/passwordcommand.h"
#include "settings/settingslog.h"
#include "settings/utils.h"

namespace tessaly {

namespace {

constexpr int kMinPasswordLength = 3;

ImapSessionSettings sessionSettings(const AccountFields& fields, const QString& password,
                                    const QString& trustedSha256) {
    ImapSessionSettings settings;
    settings.hostname = Utils::serverNameFromServerString(fields.server);
    settings.port = Utils::serverPortFromServerString(fields.server);
    settings.connectionType = Utils::useSSLFromServerString(fields.server);
    settings.username = fields.address;
    settings.password = password;
    settings.trustedCertificateSha256 = trustedSha256;
    return settings;
}

} // namespace

AccountTester::AccountTester(EmailSettings& accounts, QObject* parent)
    : QObject(parent)
    , m_accounts(accounts) {
}

AccountTester::~AccountTester() = default;

QString AccountTester::folderListKey(const QString& address, const QString& server,
                                     const QString& password) {
    return QStringLiteral("%1_%2_%3").arg(address, server, password);
}

QString AccountTester::folderListKey(const AccountFields& fields) {
    return folderListKey(fields.address, fields.server,
                         fields.passwordCommand.isEmpty() ? fields.password
                                                          : fields.passwordCommand);
}

bool AccountTester::test(const AccountFields& fields) {
    const bool command = !fields.passwordCommand.isEmpty();
    if (!EmailSettings::emailAndIMAPAndPasswordLookOK(
            fields.address, fields.server, command ? fields.passwordCommand : fields.password)) {
        return false;
    }
    cancel();
    m_running = true;
    if (command) {
        runCommand(fields);
    } else {
        listFolders(fields, fields.password);
    }
    return true;
}

void AccountTester::cancel() {
    ++m_generation;
    m_running = false;
    if (m_command) {
        // Ends the command if it still runs; its result is never looked at.
        m_command->disconnect(this);
        m_command->deleteLater();
        m_command = nullptr;
    }
    dropSession();
}

void AccountTester::dropSession() {
    if (m_operation) {
        m_operation->cancel();
        m_operation.reset();
    }
    if (m_session) {
        // Not deleted at once: this may run inside one of the session's own completions.
        m_session->cancelAll();
        m_session.release()->deleteLater();
    }
}

void AccountTester::runCommand(const AccountFields& fields) {
    m_command = new PasswordCommand(fields.passwordCommand, this);
    const quint64 generation = m_generation;
    connect(m_command, &PasswordCommand::finished, this,
            [this, generation, fields](const PasswordCommandResult& result) {
                commandFinished(generation, fields, result);
            });
    m_command->start();
}

void AccountTester::commandFinished(quint64 generation, const AccountFields& fields,
                                    const PasswordCommandResult& result) {
    if (generation != m_generation) {
        return;
    }
    if (m_command) {
        m_command->deleteLater();
        m_command = nullptr;
    }
    if (!result.ok()) {
        finish();
        Q_EMIT failed(fields.address,
                      QStringLiteral("The password command failed: %1").arg(result.error), {});
        return;
    }
    if (result.password.size() < kMinPasswordLength) {
        // Said out loud: unlike a typed password, the user cannot see what came back.
        finish();
        Q_EMIT failed(fields.address,
                      QStringLiteral("The password command printed something too short to be a "
                                     "password."),
                      {});
        return;
    }
    listFolders(fields, result.password);
}

void AccountTester::listFolders(const AccountFields& fields, const QString& password) {
    m_session = std::make_unique<ImapSession>(
        sessionSettings(fields, password, m_accounts.trustedCertificate(fields.address)));
    const quint64 generation = m_generation;
    m_operation = m_session->fetchAllFolders(
        [this, generation, fields, password](const ImapError& error, QList<ImapFolder> folders) {
            listed(generation, fields, password, error, folders);
        });
}

void AccountTester::listed(quint64 generation, const AccountFields& fields, const QString& password,
                           const ImapError& error, const QList<ImapFolder>& folders) {
    if (generation != m_generation) {
        return;
    }
    m_operation.reset();
    finish();
    if (error.isError()) {
        qCInfo(lcSettings).noquote() << "Error downloading folder names:" << error.description;
        Q_EMIT failed(fields.address, error.description,
                      error.kind == ImapError::Kind::Certificate ? error.certificateSha256
                                                                 : QString());
        return;
    }
    m_folders.insert(folderListKey(fields), folders);
    Q_EMIT foldersListed(fields.address, folderListKey(fields));
    if (!password.isEmpty()) {
        save(fields, password);
    }
}

void AccountTester::save(const AccountFields& fields, const QString& password) {
    // A password command stays the account's credential; only a typed password is stored.
    const bool command = !fields.passwordCommand.isEmpty();
    // Showing a stored account tests it again: what is stored already is not written again,
    // so merely looking at an account never touches the keyring for writing.
    const bool sameAccount = m_accounts.hasAccount(fields.address) &&
                             m_accounts.imapConfig(fields.address) == fields.server;
    if (command) {
        if (sameAccount && m_accounts.passwordCommand(fields.address) == fields.passwordCommand) {
            Q_EMIT saved(fields.address);
            return;
        }
        // Nothing goes to the keyring.
        const KeychainError error = m_accounts.setPrefsEmailAddress(fields.address, fields.server);
        if (error.isError()) {
            savingFailed(fields, error);
            return;
        }
        m_accounts.setPasswordCommand(fields.address, fields.passwordCommand);
        Q_EMIT saved(fields.address);
        return;
    }
    // The keyring's answers come later: the window goes on meanwhile.
    auto store = [this, fields, password] {
        m_accounts.setPrefsEmailAddress(fields.address, fields.server, password, this,
                                        [this, fields](const KeychainError& error) {
                                            if (error.isError()) {
                                                savingFailed(fields, error);
                                                return;
                                            }
                                            Q_EMIT saved(fields.address);
                                        });
    };
    if (!sameAccount || m_accounts.credentialKind(fields.address) != CredentialKind::Password) {
        store();
        return;
    }
    m_accounts.password(fields.address, this,
                        [this, fields, password, store](const std::optional<QString>& stored,
                                                        const KeychainError&) {
                            if (stored == password) {
                                Q_EMIT saved(fields.address);
                                return;
                            }
                            store();
                        });
}

void AccountTester::savingFailed(const AccountFields& fields, const KeychainError& error) {
    Q_EMIT failed(fields.address,
                  QStringLiteral("The account could not be saved: the password could not be "
                                 "stored in the keyring (%1).")
                      .arg(error.message),
                  {});
}

void AccountTester::finish() {
    m_running = false;
    dropSession();
}

} // namespace tessaly
