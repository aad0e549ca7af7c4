#include "keyringsession.h"
#include "platform/prefs/preferencestore.h"
#include "settings/emailsettings.h"
#include "settings/fxkeychain.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace tessaly;

class TestEmailSettings : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void savingAnAccount();
    void removingKeepsWhatComesBackOnReAdding();
    void credentialKinds();
    void signInKindAndTokenNames();
    void destinations();
    void foldersOnAndOff();

private:
    QString stored(const QString& key) const { return m_prefs->stringValue(key); }

    std::unique_ptr<test::KeyringSession> m_session;
    std::unique_ptr<FXKeychain> m_keychain;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PreferenceStore> m_prefs;
    std::unique_ptr<EmailSettings> m_accounts;
    const QString m_ann = QStringLiteral("ann@example.com");
};

void TestEmailSettings::initTestCase() {
    QString error;
    m_session = test::KeyringSession::start(test::KeyringSession::Mode::WithKeyring, &error);
    QVERIFY2(m_session, qPrintable(error));
    m_session->applyToCurrentProcess();
    m_keychain = std::make_unique<FXKeychain>(std::make_shared<SecretServiceKeychain>(),
                                              FXKeychain::applicationService());
}

void TestEmailSettings::init() {
    m_accounts.reset();
    m_prefs.reset();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_prefs = std::make_unique<PreferenceStore>(m_dir->filePath(QStringLiteral("Tessaly.conf")));
    m_accounts = std::make_unique<EmailSettings>(*m_prefs, *m_keychain);
}

void TestEmailSettings::savingAnAccount() {
    QVERIFY(!m_accounts->setPrefsEmailAddress(m_ann, QStringLiteral("h1"), QStringLiteral("pw-1"))
                 .isError());
    QVERIFY(
        !m_accounts->setPrefsEmailAddress(m_ann, QStringLiteral("h2:143"), QStringLiteral("pw-2"))
             .isError());
    QCOMPARE(m_accounts->emailAccounts(), QStringList{m_ann});
    QCOMPARE(stored(m_ann + QStringLiteral("__IMAP")), QStringLiteral("h2:143"));
    // The application's item under the address and "__PASS", as other keyring tools see it.
    QCOMPARE(m_session
                 ->run(QStringLiteral("secret-tool"),
                       {QStringLiteral("lookup"), QStringLiteral("service"),
                        QStringLiteral("org.tessaly.Tessaly"), QStringLiteral("account"),
                        m_ann + QStringLiteral("__PASS")})
                 .standardOutput,
             QByteArray("pw-2"));

    // Saved again without a password: the server changes, the password stays.
    QVERIFY(!m_accounts->setPrefsEmailAddress(m_ann, QString()).isError());
    QVERIFY(m_prefs->isStored(m_ann + QStringLiteral("__IMAP")));
    QCOMPARE(m_accounts->imapConfig(m_ann), QString());
    QCOMPARE(m_accounts->password(m_ann), QStringLiteral("pw-2"));

    // Letter case makes another account, added at the end.
    const QString upper = QStringLiteral("Ann@Example.com");
    QVERIFY(!m_accounts->setPrefsEmailAddress(upper, QStringLiteral("h")).isError());
    QCOMPARE(m_accounts->emailAccounts(), (QStringList{m_ann, upper}));
    QVERIFY(!m_accounts->password(upper));
    QVERIFY(m_accounts->setPrefsEmailAddress(QString(), QStringLiteral("h"), QStringLiteral("pw"))
                .isError());
    QCOMPARE(m_accounts->emailAccounts().size(), 2);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                           "^FXKeychain failed to delete data for key 'Ann@")));
    QVERIFY(!m_accounts->removeAccount(upper).isError());
    QVERIFY(!m_accounts->removeAccount(m_ann).isError());
}

void TestEmailSettings::removingKeepsWhatComesBackOnReAdding() {
    const QString bob = QStringLiteral("bob@example.com");
    QVERIFY(!m_accounts->setPrefsEmailAddress(bob, QStringLiteral("h"), QStringLiteral("bob-pw"))
                 .isError());
    m_accounts->setFolderOn(bob, QStringLiteral("Archive/2019"), false);
    m_accounts->setDestinationFolder(bob, QStringLiteral("/srv/mail"));
    m_accounts->setKeyChainID(QStringLiteral("12-3"), bob);
    QVERIFY(m_accounts->setTrustedCertificate(bob, QString(64, u'a')));
    m_accounts->setPasswordCommand(bob, QStringLiteral("pass show bob"));

    QVERIFY(!m_accounts->removeAccount(bob).isError());
    QVERIFY(!m_accounts->hasAccount(bob));
    QVERIFY(!m_prefs->isStored(bob + QStringLiteral("__IMAP")));
    KeychainError error;
    QVERIFY(!m_accounts->password(bob, &error));
    QCOMPARE(error.kind, KeychainError::Kind::NotFound);
    QCOMPARE(m_accounts->passwordCommand(bob), QString());
    QCOMPARE(m_accounts->trustedCertificate(bob), QString());

    QVERIFY(!m_accounts->setPrefsEmailAddress(bob, QStringLiteral("h"), QStringLiteral("bob-pw"))
                 .isError());
    QVERIFY(!m_accounts->isFolderON(bob, QStringLiteral("Archive/2019")));
    bool own = false;
    QCOMPARE(m_accounts->destPathForItem(bob, &own), QStringLiteral("/srv/mail/bob@example.com"));
    QVERIFY(own);
    QCOMPARE(m_accounts->keyChainIDForEmail(bob), QStringLiteral("12-3"));

    // An account without a password item is removed all the same, one log line aside.
    const QString carol = QStringLiteral("carol@example.com");
    QVERIFY(!m_accounts->setPrefsEmailAddress(carol, QStringLiteral("h")).isError());
    QTest::ignoreMessage(
        QtWarningMsg,
        "FXKeychain failed to delete data for key 'carol@example.com__PASS', error: 1");
    QVERIFY(!m_accounts->removeAccount(carol).isError());
    QCOMPARE(m_accounts->emailAccounts(), QStringList{bob});
    QVERIFY(!m_accounts->removeAccount(bob).isError());
}

void TestEmailSettings::credentialKinds() {
    m_accounts->setPasswordCommand(m_ann, QStringLiteral("pass show mail/ann"));
    QCOMPARE(m_accounts->credentialKind(m_ann), CredentialKind::Command);
    QCOMPARE(stored(m_ann + QStringLiteral("__PassCommand")), QStringLiteral("pass show mail/ann"));
    // Giving a password replaces the command; saving without one keeps it.
    QVERIFY(!m_accounts->setPrefsEmailAddress(m_ann, QStringLiteral("h"), QStringLiteral("pw"))
                 .isError());
    QCOMPARE(m_accounts->credentialKind(m_ann), CredentialKind::Password);
    m_accounts->setPasswordCommand(m_ann, QStringLiteral("cat ~/.pw"));
    QVERIFY(!m_accounts->setPrefsEmailAddress(m_ann, QStringLiteral("h2")).isError());
    QCOMPARE(m_accounts->credentialKind(m_ann), CredentialKind::Command);

    m_accounts->setAuthSystem(EmailSettings::kauth_google_oauth, m_ann);
    QCOMPARE(m_accounts->credentialKind(m_ann), CredentialKind::OAuth);
    QVERIFY(!m_accounts->removeAccount(m_ann).isError());

    // Fingerprints are kept in one spelling; anything else is refused.
    const QString hex =
        QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    QString colons;
    for (int i = 0; i < hex.size(); i += 2) {
        colons += (i ? QStringLiteral(":") : QString()) + hex.mid(i, 2).toUpper();
    }
    QVERIFY(m_accounts->setTrustedCertificate(m_ann, colons));
    QCOMPARE(stored(m_ann + QStringLiteral("__TrustedCertificate")), hex);
    QVERIFY(!m_accounts->setTrustedCertificate(m_ann, hex.left(63) + u'g'));
    QCOMPARE(m_accounts->trustedCertificate(m_ann), hex);
}

void TestEmailSettings::signInKindAndTokenNames() {
    QCOMPARE(m_accounts->authSystem(QString()), QStringLiteral("kauth_user_pass"));
    QCOMPARE(m_accounts->authSystem(QStringLiteral("never@seen.org")),
             QStringLiteral("kauth_user_pass"));
    m_accounts->setAuthSystem(EmailSettings::kauth_google_oauth, m_ann);
    m_accounts->setAuthSystem(QString(), m_ann);
    m_accounts->setAuthSystem(EmailSettings::kauth_user_pass, QString());
    QCOMPARE(stored(m_ann + QStringLiteral("__authSystem")), QStringLiteral("kauth_google_oauth"));

    QCOMPARE(m_accounts->keyChainIDForEmail(QString()), QString());
    const qint64 before = QDateTime::currentSecsSinceEpoch() - 978307200; // since 2001
    const QString name = m_accounts->keyChainIDForEmail(m_ann);
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^(\\d+)-(\\d+)$")).match(name);
    QVERIFY2(match.hasMatch(), qPrintable(name));
    QVERIFY(match.captured(1).toLongLong() - before <= 5);
    QCOMPARE(m_accounts->keyChainIDForEmail(m_ann), name);
    QCOMPARE(stored(m_ann + QStringLiteral("__googleOAuthKey")), name);
    // Made in the same second, names differ in their counter.
    QVERIFY(m_accounts->keyChainIDForEmail(QStringLiteral("bob@example.com")) != name);

    m_accounts->setKeyChainID(QString(), m_ann);
    QCOMPARE(m_accounts->keyChainIDForEmail(m_ann), name);
}

void TestEmailSettings::destinations() {
    bool own = true;
    QCOMPARE(m_accounts->destPathForItem(m_ann, &own), QString());
    QVERIFY(!own);

    m_prefs->setDestinationFolder(QStringLiteral("/home/u/Archive"));
    QCOMPARE(m_accounts->destPathForItem(m_ann), QStringLiteral("/home/u/Archive/ann@example.com"));
    const QString folder = QStringLiteral("/home/u/Mail Export/");
    QCOMPARE(m_accounts->destPathForItem(folder), QStringLiteral("/home/u/Archive/Mail Export"));

    m_accounts->setDestinationFolder(folder, QStringLiteral("/media/usb/"));
    QCOMPARE(stored(folder + QStringLiteral("__DEST_bookmark")), QStringLiteral("/media/usb"));
    QCOMPARE(m_accounts->destPathForItem(folder, &own), QStringLiteral("/media/usb/Mail Export"));
    QVERIFY(own);
    m_accounts->setDestinationFolder(folder, QString());
    QCOMPARE(m_accounts->destPathForItem(folder, &own),
             QStringLiteral("/home/u/Archive/Mail Export"));
    QVERIFY(!own);
}

void TestEmailSettings::foldersOnAndOff() {
    const QString folder = QStringLiteral("INBOX/Old");
    m_accounts->toggleFolderSetting(m_ann, folder);
    QVERIFY(!m_accounts->isFolderON(m_ann, folder));
    m_accounts->setFolderOn(m_ann, QStringLiteral("Spam"), false);
    m_accounts->setFolderOn(m_ann, QStringLiteral("Spam"), false);
    QCOMPARE(m_prefs->stringListValue(m_ann + QStringLiteral("__IgnoreFolders")),
             (QStringList{folder, QStringLiteral("Spam")}));
    m_accounts->toggleFolderSetting(m_ann, folder);
    QVERIFY(m_accounts->isFolderON(m_ann, folder));
    QCOMPARE(m_accounts->foldersTurnedOff(m_ann), QStringList{QStringLiteral("Spam")});

    // Without an address nothing is read or written.
    const QStringList keys = m_prefs->storedKeys();
    m_accounts->toggleFolderSetting(QString(), folder);
    QCOMPARE(m_prefs->storedKeys(), keys);
}

QTEST_GUILESS_MAIN(TestEmailSettings)
#include "tst_emailsettings.moc"
