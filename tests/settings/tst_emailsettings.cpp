#include "keyringsession.h"
#include "platform/prefs/preferencestore.h"
#include "settings/accountkeys.h"
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
    void cleanup();
    void savingAnAccount();
    void removingKeepsWhatComesBackOnReAdding();
    void credentialKinds();
    void authSystemDefaults();
    void tokenItemNames();
    void destinations();
    void foldersOnAndOff();
    void trustedCertificate();
    void plausibleFields();

private:
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
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_prefs = std::make_unique<PreferenceStore>(m_dir->filePath(QStringLiteral("Tessaly.conf")));
    m_accounts = std::make_unique<EmailSettings>(*m_prefs, *m_keychain);
}

void TestEmailSettings::cleanup() {
    m_accounts.reset();
    m_prefs.reset();
    m_dir.reset();
}

void TestEmailSettings::savingAnAccount() {
    QVERIFY(!m_accounts
                 ->setPrefsEmailAddress(m_ann, QStringLiteral("imap.example.com"),
                                        QStringLiteral("pw-one"))
                 .isError());
    QVERIFY(!m_accounts
                 ->setPrefsEmailAddress(m_ann, QStringLiteral("imap.example.com:143:starttls"),
                                        QStringLiteral("pw-two"))
                 .isError());
    QCOMPARE(m_accounts->emailAccounts(), QStringList{m_ann});
    QCOMPARE(m_accounts->imapConfig(m_ann), QStringLiteral("imap.example.com:143:starttls"));
    QCOMPARE(m_accounts->password(m_ann), QStringLiteral("pw-two"));
    // The item is the application's, under the address and "__PASS", as other tools see it.
    QCOMPARE(m_session
                 ->run(QStringLiteral("secret-tool"),
                       {QStringLiteral("lookup"), QStringLiteral("service"),
                        QStringLiteral("org.tessaly.Tessaly"), QStringLiteral("account"),
                        m_ann + QStringLiteral("__PASS")})
                 .standardOutput,
             QByteArray("pw-two"));

    // Saved again without a password: the server changes, the password stays.
    QVERIFY(!m_accounts->setPrefsEmailAddress(m_ann, QString(), QString()).isError());
    QCOMPARE(m_accounts->imapConfig(m_ann), QString());
    QVERIFY(m_prefs->isStored(m_ann + QStringLiteral("__IMAP")));
    QCOMPARE(m_accounts->password(m_ann), QStringLiteral("pw-two"));

    // Accounts keep the order they were added in; addresses differing in case are two.
    const QString upper = QStringLiteral("Ann@Example.com");
    QVERIFY(!m_accounts->setPrefsEmailAddress(upper, QStringLiteral("h"), QString()).isError());
    QCOMPARE(m_accounts->emailAccounts(), (QStringList{m_ann, upper}));
    QVERIFY(!m_accounts->password(upper));
    QCOMPARE(EmailSettings::accountKey(QStringLiteral(" \tann@example.com\n")), m_ann);

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
    QVERIFY(!m_accounts
                 ->setPrefsEmailAddress(bob, QStringLiteral("imap.example.com"),
                                        QStringLiteral("bob-pw"))
                 .isError());
    m_accounts->setFolderOn(bob, QStringLiteral("Archive/2019"), false);
    m_accounts->setDestinationFolder(bob, QStringLiteral("/srv/mail"));
    m_accounts->setKeyChainID(QStringLiteral("12-3"), bob);
    QVERIFY(m_accounts->setTrustedCertificate(bob, QString(64, u'a')));
    m_accounts->setPasswordCommand(bob, QStringLiteral("pass show bob"));
    m_prefs->setValue(bob + QStringLiteral("pdf"), QStringLiteral("%Y/%m"));
    m_prefs->setValue(bob + QStringLiteral("__LastFinished"), 1234);

    QVERIFY(!m_accounts->removeAccount(bob).isError());
    QVERIFY(!m_accounts->hasAccount(bob));
    QVERIFY(!m_prefs->isStored(bob + QStringLiteral("__IMAP")));
    KeychainError error;
    QVERIFY(!m_accounts->password(bob, &error));
    QCOMPARE(error.kind, KeychainError::Kind::NotFound);
    QCOMPARE(m_accounts->passwordCommand(bob), QString());
    QCOMPARE(m_accounts->trustedCertificate(bob), QString());
    QCOMPARE(m_prefs->stringValue(bob + QStringLiteral("pdf")), QStringLiteral("%Y/%m"));
    QCOMPARE(m_prefs->integerValue(bob + QStringLiteral("__LastFinished")), 1234);

    QVERIFY(!m_accounts
                 ->setPrefsEmailAddress(bob, QStringLiteral("imap.example.com"),
                                        QStringLiteral("bob-pw"))
                 .isError());
    QVERIFY(!m_accounts->isFolderON(bob, QStringLiteral("Archive/2019")));
    bool own = false;
    QCOMPARE(m_accounts->destPathForItem(bob, &own), QStringLiteral("/srv/mail/bob@example.com"));
    QVERIFY(own);
    QCOMPARE(m_accounts->keyChainIDForEmail(bob), QStringLiteral("12-3"));

    // An account without a password item is removed without complaint, one log line aside.
    const QString carol = QStringLiteral("carol@example.com");
    QVERIFY(!m_accounts->setPrefsEmailAddress(carol, QStringLiteral("h"), QString()).isError());
    QTest::ignoreMessage(
        QtWarningMsg,
        "FXKeychain failed to delete data for key 'carol@example.com__PASS', error: 1");
    QVERIFY(!m_accounts->removeAccount(carol).isError());
    QCOMPARE(m_accounts->emailAccounts(), QStringList{bob});
    QVERIFY(!m_accounts->removeAccount(bob).isError());
}

void TestEmailSettings::credentialKinds() {
    const QString dave = QStringLiteral("dave@example.com");
    QCOMPARE(m_accounts->credentialKind(dave), CredentialKind::Password);
    m_accounts->setPasswordCommand(dave, QStringLiteral("pass show mail/dave"));
    QCOMPARE(m_accounts->credentialKind(dave), CredentialKind::Command);
    QCOMPARE(m_prefs->stringValue(dave + QStringLiteral("__PassCommand")),
             QStringLiteral("pass show mail/dave"));
    // Giving a password replaces the command.
    QVERIFY(!m_accounts->setPrefsEmailAddress(dave, QStringLiteral("h"), QStringLiteral("pw"))
                 .isError());
    QCOMPARE(m_accounts->credentialKind(dave), CredentialKind::Password);
    QCOMPARE(m_accounts->passwordCommand(dave), QString());
    // Saving without one keeps a command.
    m_accounts->setPasswordCommand(dave, QStringLiteral("cat ~/.pw"));
    QVERIFY(!m_accounts->setPrefsEmailAddress(dave, QStringLiteral("h2"), QString()).isError());
    QCOMPARE(m_accounts->credentialKind(dave), CredentialKind::Command);
    m_accounts->setPasswordCommand(dave, QStringLiteral("  "));
    QVERIFY(!m_prefs->isStored(dave + QStringLiteral("__PassCommand")));

    m_accounts->setAuthSystem(EmailSettings::kauth_google_oauth, dave);
    QCOMPARE(m_accounts->credentialKind(dave), CredentialKind::OAuth);
    QVERIFY(!m_accounts->removeAccount(dave).isError());
}

void TestEmailSettings::authSystemDefaults() {
    QCOMPARE(EmailSettings::kauth_user_pass, QStringLiteral("kauth_user_pass"));
    QCOMPARE(EmailSettings::kauth_google_oauth, QStringLiteral("kauth_google_oauth"));
    QCOMPARE(m_accounts->authSystem(QString()), EmailSettings::kauth_user_pass);
    QCOMPARE(m_accounts->authSystem(QStringLiteral("never@seen.org")),
             EmailSettings::kauth_user_pass);

    m_accounts->setAuthSystem(EmailSettings::kauth_google_oauth, m_ann);
    QCOMPARE(m_prefs->stringValue(m_ann + QStringLiteral("__authSystem")),
             QStringLiteral("kauth_google_oauth"));
    m_accounts->setAuthSystem(QString(), m_ann);
    m_accounts->setAuthSystem(EmailSettings::kauth_user_pass, QString());
    QCOMPARE(m_accounts->authSystem(m_ann), EmailSettings::kauth_google_oauth);
    QVERIFY(!m_prefs->isStored(QStringLiteral("__authSystem")));
}

void TestEmailSettings::tokenItemNames() {
    QCOMPARE(m_accounts->keyChainIDForEmail(QString()), QString());
    QVERIFY(m_prefs->storedKeys().isEmpty());

    const qint64 before = QDateTime::currentSecsSinceEpoch() - 978307200;
    const QString name = m_accounts->keyChainIDForEmail(m_ann);
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^(-?\\d+)-(\\d+)$")).match(name);
    QVERIFY2(match.hasMatch(), qPrintable(name));
    QVERIFY(match.captured(1).toLongLong() >= before);
    QVERIFY(match.captured(1).toLongLong() <= before + 5);
    QCOMPARE(m_accounts->keyChainIDForEmail(m_ann), name);
    QCOMPARE(m_prefs->stringValue(m_ann + QStringLiteral("__googleOAuthKey")), name);

    // Names made in the same second differ in their counter.
    const QString other = m_accounts->keyChainIDForEmail(QStringLiteral("bob@example.com"));
    QVERIFY(other != name);
    QVERIFY(EmailSettings::newKeyChainID() != EmailSettings::newKeyChainID());

    m_accounts->setKeyChainID(QString(), m_ann);
    QCOMPARE(m_accounts->keyChainIDForEmail(m_ann), name);
    m_accounts->setKeyChainID(QStringLiteral("7-7"), m_ann);
    QCOMPARE(m_accounts->keyChainIDForEmail(m_ann), QStringLiteral("7-7"));
}

void TestEmailSettings::destinations() {
    bool own = true;
    QCOMPARE(m_accounts->destPathForItem(m_ann, &own), QString());
    QVERIFY(!own);

    m_prefs->setDestinationFolder(QStringLiteral("/home/u/Archive"));
    QCOMPARE(m_accounts->destPathForItem(m_ann, &own),
             QStringLiteral("/home/u/Archive/ann@example.com"));
    QVERIFY(!own);
    const QString folder = QStringLiteral("/home/u/Mail Export");
    QCOMPARE(m_accounts->destPathForItem(folder), QStringLiteral("/home/u/Archive/Mail Export"));
    QCOMPARE(m_accounts->destPathForItem(folder + u'/'),
             QStringLiteral("/home/u/Archive/Mail Export"));

    m_accounts->setDestinationFolder(folder, QStringLiteral("/media/usb/"));
    QCOMPARE(m_prefs->stringValue(folder + QStringLiteral("__DEST")),
             QStringLiteral("/media/usb/"));
    QCOMPARE(m_accounts->destPathForItem(folder, &own), QStringLiteral("/media/usb/Mail Export"));
    QVERIFY(own);
    m_accounts->setDestinationFolder(folder, QString());
    QCOMPARE(m_accounts->destPathForItem(folder, &own),
             QStringLiteral("/home/u/Archive/Mail Export"));
    QVERIFY(!own);
}

void TestEmailSettings::foldersOnAndOff() {
    const QString folder = QStringLiteral("INBOX/Old");
    QVERIFY(m_accounts->isFolderON(m_ann, folder));
    m_accounts->toggleFolderSetting(m_ann, folder);
    QVERIFY(!m_accounts->isFolderON(m_ann, folder));
    QCOMPARE(m_prefs->stringListValue(m_ann + QStringLiteral("__IgnoreFolders")),
             QStringList{folder});
    m_accounts->setFolderOn(m_ann, QStringLiteral("Spam"), false);
    m_accounts->setFolderOn(m_ann, QStringLiteral("Spam"), false);
    QCOMPARE(m_accounts->foldersTurnedOff(m_ann), (QStringList{folder, QStringLiteral("Spam")}));
    m_accounts->toggleFolderSetting(m_ann, folder);
    QVERIFY(m_accounts->isFolderON(m_ann, folder));
    QCOMPARE(m_accounts->foldersTurnedOff(m_ann), QStringList{QStringLiteral("Spam")});

    // Without an address nothing is read or written.
    const QStringList keys = m_prefs->storedKeys();
    m_accounts->toggleFolderSetting(QString(), folder);
    QCOMPARE(m_prefs->storedKeys(), keys);
    QVERIFY(m_accounts->isFolderON(QString(), folder));
    QCOMPARE(EmailSettings::emailFoldersOffPrefsKey(QString()), QString());
}

void TestEmailSettings::trustedCertificate() {
    const QString lower =
        QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    QString colons;
    for (int i = 0; i < lower.size(); i += 2) {
        colons += (i ? QStringLiteral(":") : QString()) + lower.mid(i, 2).toUpper();
    }
    QVERIFY(m_accounts->setTrustedCertificate(m_ann, colons));
    QCOMPARE(m_accounts->trustedCertificate(m_ann), lower);
    QCOMPARE(m_prefs->stringValue(m_ann + QStringLiteral("__TrustedCertificate")), lower);

    QVERIFY(!m_accounts->setTrustedCertificate(m_ann, lower.left(63)));
    QVERIFY(!m_accounts->setTrustedCertificate(m_ann, lower.left(63) + u'g'));
    QVERIFY(!m_accounts->setTrustedCertificate(QString(), lower));
    QCOMPARE(m_accounts->trustedCertificate(m_ann), lower);
    QVERIFY(m_accounts->setTrustedCertificate(m_ann, QString()));
    QVERIFY(!m_prefs->isStored(m_ann + QStringLiteral("__TrustedCertificate")));
}

void TestEmailSettings::plausibleFields() {
    QVERIFY(EmailSettings::emailAndIMAPAndPasswordLookOK(
        QStringLiteral("a@b.c"), QStringLiteral("h.io"), QStringLiteral("pwd")));
    QVERIFY(!EmailSettings::emailAndIMAPAndPasswordLookOK(
        QStringLiteral("a@bc"), QStringLiteral("h.io"), QStringLiteral("pwd")));
    QVERIFY(!EmailSettings::emailAndIMAPAndPasswordLookOK(
        QStringLiteral("a@b.c"), QStringLiteral("h.io"), QStringLiteral("pw")));
    QVERIFY(!EmailSettings::emailAndIMAPAndPasswordLookOK(
        QStringLiteral("a@b.c"), QStringLiteral("h.i"), QStringLiteral("pwd")));
}

QTEST_GUILESS_MAIN(TestEmailSettings)
#include "tst_emailsettings.moc"
