// Stores, reads and removes a password in a process of its own, so the test can point it at a
// session without a keyring before its first keychain call. One line per step:
// step, error kind, milliseconds, message.
#include "platform/prefs/preferencestore.h"
#include "settings/emailsettings.h"
#include "settings/fxkeychain.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

using namespace tessaly;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QString secret = QStringLiteral("probe-secret-8c1f");
    FXKeychain& keychain = FXKeychain::defaultKeychain();
    auto report = [&out](const char* step, const KeychainError& error, const QElapsedTimer& t) {
        out << step << '\t' << error.status() << '\t' << t.elapsed() << '\t' << error.message
            << '\n';
    };

    QElapsedTimer timer;
    KeychainError error;
    timer.start();
    if (keychain.setObject(secret, QStringLiteral("probe__PASS"), &error)) {
        error = {};
    }
    report("store", error, timer);

    timer.restart();
    error = {};
    const QVariant value = keychain.objectForKey(QStringLiteral("probe__PASS"), &error);
    report("find", error, timer);

    timer.restart();
    error = {};
    if (keychain.removeObjectForKey(QStringLiteral("probe__PASS"), &error)) {
        error = {};
    }
    report("remove", error, timer);

    PreferenceStore prefs(PreferenceStore::userFilePath());
    EmailSettings accounts(prefs, keychain);
    timer.restart();
    error = accounts.setPrefsEmailAddress(QStringLiteral("ann@example.com"),
                                          QStringLiteral("imap.example.com"), secret);
    report("account", error, timer);
    out << "accounts\t" << accounts.emailAccounts().join(u',') << '\n';
    out.flush();
    return prefs.sync() ? 0 : 1;
}
