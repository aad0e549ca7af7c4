#pragma once

#include "platform/keychain/keychain.h"
#include "platform/mail/imapsession.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

namespace tessaly {

class EmailSettings;
class PasswordCommand;
struct PasswordCommandResult;

// What the account form holds when the user asks for a test: the address, the server string
// and either the password as typed or the account's password command.
struct AccountFields {
    QString address;
    QString server;
    QString password;
    QString passwordCommand; // when set, its output is the password and `password` is unused
};

// Tests an account by listing its folders, and saves it once a listing with a password has
// succeeded: an account that cannot sign in is never stored. Listings are kept in memory by
// the fields they were made with, so going back to earlier fields shows their folders again.
// Certificates are checked; one that does not verify fails the test with its fingerprint, and
// the caller may ask the user to trust that one certificate for the account. Everything
// completes on the thread the tester lives in, never blocking it.
class AccountTester : public QObject {
    Q_OBJECT

public:
    explicit AccountTester(EmailSettings& accounts, QObject* parent = nullptr);
    ~AccountTester() override;

    // The key a listing is kept under: the three fields as typed. For a password command the
    // command stands in for the password.
    static QString folderListKey(const QString& address, const QString& server,
                                 const QString& password);
    static QString folderListKey(const AccountFields& fields);

    // Starts a test of the fields; a test still running is dropped and its result never
    // reported. False, and nothing started, when the fields are not worth a connection.
    bool test(const AccountFields& fields);
    // Drops the running test, if any.
    void cancel();
    bool isTesting() const { return m_running; }

    // The folders last listed with these fields, in the server's order; empty when none were.
    QList<ImapFolder> folders(const QString& key) const { return m_folders.value(key); }
    bool hasFolders(const QString& key) const { return m_folders.contains(key); }

Q_SIGNALS:
    void foldersListed(const QString& address, const QString& key);
    // `error` is one line for the user; `certificateSha256` (lowercase hex) is set when the
    // server's certificate did not verify and was not the trusted one.
    void failed(const QString& address, const QString& error, const QString& certificateSha256);
    void saved(const QString& address);

private:
    void runCommand(const AccountFields& fields);
    void commandFinished(quint64 generation, const AccountFields& fields,
                         const PasswordCommandResult& result);
    void listFolders(const AccountFields& fields, const QString& password);
    void listed(quint64 generation, const AccountFields& fields, const QString& password,
                const ImapError& error, const QList<ImapFolder>& folders);
    void save(const AccountFields& fields, const QString& password);
    void savingFailed(const AccountFields& fields, const KeychainError& error);
    void finish();
    void dropSession();

    EmailSettings& m_accounts;
    QHash<QString, QList<ImapFolder>> m_folders;
    std::unique_ptr<ImapSession> m_session;
    std::shared_ptr<ImapOperation> m_operation;
    PasswordCommand* m_command = nullptr;
    quint64 m_generation = 0;
    bool m_running = false;
};

} // namespace tessaly
