#include "app/cli/accountcommand.h"

#include "archive/job/rendertool.h"
#include "archive/sources/imapmessagesource.h"
#include "platform/mail/imapsession.h"
#include "platform/prefs/preferencestore.h"
#include "settings/emailsettings.h"
#include "settings/fxkeychain.h"
#include "settings/lookupserver.h"
#include "settings/passwordcommand.h"
#include "settings/utils.h"

#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>

#include <cstdio>

namespace tessaly {

namespace {

constexpr int kMinAddressLength = 5;
constexpr int kMinPasswordLength = 3;
constexpr int kMinServerLength = 4;

const char* const kUsage =
    "usage: tessaly-cli account add ADDRESS [--server SERVER] [--password-stdin | "
    "--password-command CMD] [--trust-certificate SHA256]\n"
    "       tessaly-cli account list\n"
    "       tessaly-cli account remove ADDRESS\n"
    "       tessaly-cli account folders ADDRESS\n"
    "       tessaly-cli account skip|unskip ADDRESS FOLDER\n";

struct Listing {
    ImapError error;
    QList<ImapFolder> folders;
};

// Lists the account's folders on a session of its own, waiting for the answer.
Listing listFolders(const ImapSessionSettings& settings) {
    ImapSession session(settings);
    Listing listing;
    QEventLoop loop;
    session.fetchAllFolders([&](const ImapError& error, QList<ImapFolder> folders) {
        listing.error = error;
        listing.folders = std::move(folders);
        loop.quit();
    });
    loop.exec();
    return listing;
}

ImapSessionSettings sessionSettings(const QString& address, const QString& server,
                                    const QString& password, const QString& trusted) {
    ImapSessionSettings settings;
    settings.hostname = Utils::serverNameFromServerString(server);
    settings.port = Utils::serverPortFromServerString(server);
    settings.connectionType = Utils::useSSLFromServerString(server);
    settings.username = address;
    settings.password = password;
    settings.trustedCertificateSha256 = trusted;
    return settings;
}

void printListingError(const ImapError& error, const QString& address, QTextStream& err) {
    err << "tessaly-cli account: " << ImapMessageSource::displayName(error.description) << '\n';
    if (error.kind == ImapError::Kind::Certificate && !error.certificateSha256.isEmpty()) {
        err << "If this is the certificate you expect, trust it with\n  tessaly-cli account add "
            << address << " ... --trust-certificate " << error.certificateSha256 << '\n';
    }
}

// The password of a stored account, from its password command or the keychain.
std::optional<QString> storedPassword(EmailSettings& accounts, const QString& address,
                                      QTextStream& err) {
    if (accounts.credentialKind(address) == CredentialKind::Command) {
        const PasswordCommandResult result =
            PasswordCommand::run(accounts.passwordCommand(address));
        if (!result.ok()) {
            err << "tessaly-cli account: the password command failed: " << result.error << '\n';
            return std::nullopt;
        }
        return result.password;
    }
    KeychainError error;
    std::optional<QString> password = accounts.password(address, &error);
    if (!password) {
        err << "tessaly-cli account: no password for " << address << ": "
            << (error.message.isEmpty() ? QStringLiteral("none is stored") : error.message) << '\n';
    }
    return password;
}

int add(const QStringList& arguments, EmailSettings& accounts, QTextStream& out, QTextStream& err) {
    QString address;
    QString server;
    QString command;
    QString trusted;
    bool fromStdin = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        auto value = [&](const char* flag, QString& into) {
            if (a != QLatin1String(flag)) {
                return false;
            }
            into = i + 1 < arguments.size() ? arguments[++i] : QString();
            return true;
        };
        if (value("--server", server) || value("--password-command", command) ||
            value("--trust-certificate", trusted)) {
            continue;
        }
        if (a == u"--password-stdin") {
            fromStdin = true;
        } else if (a.startsWith(u"--") || !address.isEmpty()) {
            err << "tessaly-cli account add: unexpected " << a << '\n' << kUsage;
            return 1;
        } else {
            address = EmailSettings::accountKey(a);
        }
    }
    if (address.size() < kMinAddressLength || address.contains(u'/')) {
        err << "tessaly-cli account add: " << (address.isEmpty() ? "an address is needed" : "")
            << (address.isEmpty() ? QString() : address + QStringLiteral(" is not an address"))
            << '\n';
        return 1;
    }
    if (fromStdin == !command.isEmpty()) {
        err << "tessaly-cli account add: give exactly one of --password-stdin and "
               "--password-command\n";
        return 1;
    }
    if (server.isEmpty()) {
        server = LookupServer::lookupServer(address);
        if (server.isEmpty()) {
            err << "tessaly-cli account add: no IMAP server is known for " << address
                << ": pass --server HOST[:PORT[:tls|starttls|clear]]\n";
            return 1;
        }
    }
    if (server.size() < kMinServerLength) {
        err << "tessaly-cli account add: the server " << server << " is too short to be one\n";
        return 1;
    }
    const QString fingerprint = trusted.toLower().remove(u':');
    static const QRegularExpression sha256(QStringLiteral("^[0-9a-f]{64}$"));
    if (!trusted.isEmpty() && !sha256.match(fingerprint).hasMatch()) {
        err << "tessaly-cli account add: " << trusted << " is not a SHA-256 fingerprint\n";
        return 1;
    }
    QString password;
    if (fromStdin) {
        QFile input;
        if (!input.open(stdin, QIODevice::ReadOnly)) {
            err << "tessaly-cli account add: cannot read the password from stdin\n";
            return 1;
        }
        password = QString::fromUtf8(input.readLine()).remove(u'\n').remove(u'\r');
    } else {
        const PasswordCommandResult result = PasswordCommand::run(command);
        if (!result.ok()) {
            err << "tessaly-cli account add: the password command failed: " << result.error << '\n';
            return 1;
        }
        password = result.password;
    }
    if (password.size() < kMinPasswordLength) {
        err << "tessaly-cli account add: the password is too short to be one\n";
        return 1;
    }
    // Saved only once the server has listed the folders with these settings.
    const Listing listing = listFolders(sessionSettings(address, server, password, fingerprint));
    if (listing.error.isError()) {
        printListingError(listing.error, address, err);
        return 1;
    }
    if (fromStdin) {
        const KeychainError saved = accounts.setPrefsEmailAddress(address, server, password);
        if (saved.isError()) {
            err << "tessaly-cli account add: the password could not be stored: " << saved.message
                << '\n';
            return 1;
        }
    } else {
        const KeychainError saved = accounts.setPrefsEmailAddress(address, server);
        if (saved.isError()) {
            err << "tessaly-cli account add: " << saved.message << '\n';
            return 1;
        }
        accounts.setPasswordCommand(address, command);
    }
    // A certificate that verifies needs no exception: an old one is dropped.
    if (!accounts.setTrustedCertificate(address, fingerprint)) {
        err << "tessaly-cli account add: the certificate could not be stored\n";
        return 1;
    }
    for (const ImapFolder& folder : listing.folders) {
        out << ImapMessageSource::displayName(folder.path) << '\n';
    }
    return 0;
}

} // namespace

int runAccountCommand(const QStringList& arguments, PreferenceStore& store, QTextStream& out,
                      QTextStream& err) {
    if (arguments.isEmpty()) {
        err << kUsage;
        return 1;
    }
    EmailSettings accounts(store, FXKeychain::defaultKeychain());
    const QString verb = arguments.first();
    const QStringList rest = arguments.mid(1);
    auto known = [&](const QString& address) {
        if (accounts.hasAccount(address)) {
            return true;
        }
        err << "tessaly-cli account " << verb << ": no account " << address
            << " is stored (see tessaly-cli account list)\n";
        return false;
    };
    int status = 0;
    if (verb == u"add") {
        status = add(rest, accounts, out, err);
    } else if (verb == u"list" && rest.isEmpty()) {
        for (const QString& address : accounts.emailAccounts()) {
            const CredentialKind kind = accounts.credentialKind(address);
            out << address << '\t' << accounts.imapConfig(address) << '\t'
                << (kind == CredentialKind::Command ? "command"
                    : kind == CredentialKind::OAuth ? "oauth"
                                                    : "password")
                << '\n';
        }
    } else if (verb == u"remove" && rest.size() == 1) {
        const QString address = EmailSettings::accountKey(rest.first());
        if (!known(address)) {
            return 1;
        }
        const KeychainError removed = accounts.removeAccount(address);
        if (removed.isError()) {
            err << "tessaly-cli account remove: the account is removed, but its password could "
                   "not be removed from the keyring: "
                << removed.message << '\n';
            status = 1;
        }
    } else if (verb == u"folders" && rest.size() == 1) {
        const QString address = EmailSettings::accountKey(rest.first());
        if (!known(address)) {
            return 1;
        }
        const std::optional<QString> password = storedPassword(accounts, address, err);
        if (!password) {
            return 1;
        }
        const Listing listing =
            listFolders(sessionSettings(address, accounts.imapConfig(address), *password,
                                        accounts.trustedCertificate(address)));
        if (listing.error.isError()) {
            printListingError(listing.error, address, err);
            return 1;
        }
        for (const ImapFolder& folder : listing.folders) {
            out << (accounts.isFolderON(address, folder.path) ? "on" : "off") << '\t'
                << ImapMessageSource::displayName(folder.path) << '\n';
        }
    } else if ((verb == u"skip" || verb == u"unskip") && rest.size() == 2) {
        const QString address = EmailSettings::accountKey(rest.first());
        if (!known(address)) {
            return 1;
        }
        accounts.setFolderOn(address, rest.at(1), verb == u"unskip");
    } else {
        err << kUsage;
        return 1;
    }
    out.flush();
    if (!store.sync()) {
        err << "tessaly-cli account: the settings could not be written to " << store.filePath()
            << '\n';
        return 1;
    }
    return status;
}

} // namespace tessaly
