// Account tests against a private Dovecot: what is saved, when, and what a superseded test
// leaves behind.

#include "dovecotserver.h"
#include "platform/prefs/preferencestore.h"
#include "settings/accounttester.h"
#include "settings/emailsettings.h"
#include "settings/fxkeychain.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace tessaly;
using namespace tessaly::test;

namespace {

const QString kAlice = QStringLiteral("alice@example.test");
const QString kBob = QStringLiteral("bob@example.test");
const QString kPassword = QStringLiteral("secret-pw");

// Secrets in memory; with `failStores` every write is refused as a locked keyring would.
class TestKeychain final : public Keychain {
public:
    bool failStores = false;

    KeychainLookup find(const QString& service, const QString& account) const override {
        KeychainLookup lookup;
        const auto it = m_items.constFind(service + u'\n' + account);
        if (it == m_items.constEnd()) {
            lookup.error.kind = KeychainError::Kind::NotFound;
        } else {
            lookup.data = *it;
        }
        return lookup;
    }
    KeychainError store(const QString& service, const QString& account, const QByteArray& data,
                        const QString&) override {
        if (failStores) {
            return {KeychainError::Kind::Failed, QStringLiteral("the keyring is locked")};
        }
        m_items.insert(service + u'\n' + account, data);
        return {};
    }
    KeychainError remove(const QString& service, const QString& account) override {
        KeychainError error;
        if (m_items.remove(service + u'\n' + account) == 0) {
            error.kind = KeychainError::Kind::NotFound;
        }
        return error;
    }

private:
    QHash<QString, QByteArray> m_items;
};

} // namespace

class TestAccountTester : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void onlyTheTrustedCertificateIsLetThrough();
    void aNewerTestSupersedesAnOlderOne();
    void passwordCommands();
    void aKeyringThatRefusesIsReported();

private:
    QString clear() const { return QStringLiteral("127.0.0.1:%1:clear").arg(m_server->imapPort()); }
    QString tls() const { return QStringLiteral("127.0.0.1:%1").arg(m_server->imapsPort()); }

    std::unique_ptr<DovecotServer> m_server;
    std::shared_ptr<TestKeychain> m_keychainItems;
    std::unique_ptr<FXKeychain> m_keychain;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PreferenceStore> m_prefs;
    std::unique_ptr<EmailSettings> m_accounts;
    std::unique_ptr<AccountTester> m_tester;
};

void TestAccountTester::initTestCase() {
    QString error;
    DovecotServer::Options options;
    options.users = {kAlice, kBob};
    options.password = kPassword;
    m_server = DovecotServer::start(options, &error);
    QVERIFY2(m_server, qPrintable(error));
    QVERIFY2(m_server->createFolder(kAlice, QStringLiteral("Archive/2024"), &error),
             qPrintable(error));
}

void TestAccountTester::init() {
    m_tester.reset();
    m_accounts.reset();
    m_prefs.reset();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_prefs = std::make_unique<PreferenceStore>(m_dir->filePath(QStringLiteral("Tessaly.conf")));
    m_keychainItems = std::make_shared<TestKeychain>();
    m_keychain = std::make_unique<FXKeychain>(m_keychainItems, QStringLiteral("test"));
    m_accounts = std::make_unique<EmailSettings>(*m_prefs, *m_keychain);
    m_tester = std::make_unique<AccountTester>(*m_accounts);
}

void TestAccountTester::onlyTheTrustedCertificateIsLetThrough() {
    QSignalSpy failed(m_tester.get(), &AccountTester::failed);
    QSignalSpy saved(m_tester.get(), &AccountTester::saved);
    QVERIFY(!m_tester->test({kAlice, clear(), QStringLiteral("pw"), {}}));
    QVERIFY(!m_tester->isTesting());

    // Another certificate's fingerprint does not let this one through.
    QVERIFY(m_accounts->setTrustedCertificate(kAlice, QString(64, u'a')));
    QVERIFY(m_tester->test({kAlice, tls(), kPassword, {}}));
    QVERIFY(failed.wait(20000));
    QCOMPARE(failed.at(0).at(2).toString(), m_server->certificateSha256());
    QVERIFY(!m_accounts->hasAccount(kAlice));

    QVERIFY(m_accounts->setTrustedCertificate(kAlice, m_server->certificateSha256()));
    QVERIFY(m_tester->test({kAlice, tls(), kPassword, {}}));
    QVERIFY(saved.wait(20000));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(m_accounts->password(kAlice), std::optional<QString>(kPassword));
    QVERIFY(m_tester->hasFolders(AccountTester::folderListKey(kAlice, tls(), kPassword)));
}

void TestAccountTester::aNewerTestSupersedesAnOlderOne() {
    QSignalSpy listed(m_tester.get(), &AccountTester::foldersListed);
    QSignalSpy failed(m_tester.get(), &AccountTester::failed);
    QSignalSpy saved(m_tester.get(), &AccountTester::saved);

    // The wrong password's refusal would come first if it were reported at all.
    QVERIFY(m_tester->test({kBob, clear(), QStringLiteral("wrong-pw"), {}}));
    QVERIFY(m_tester->test({kAlice, clear(), kPassword, {}}));
    QVERIFY(saved.wait(20000));
    QCOMPARE(listed.size(), 1);
    QCOMPARE(saved.at(0).at(0).toString(), kAlice);
    // The same refusal asked for afterwards comes after the superseded one would have.
    QVERIFY(m_tester->test({kBob, clear(), QStringLiteral("wrong-pw"), {}}));
    QVERIFY(failed.wait(20000));
    QCOMPARE(failed.size(), 1);

    // A superseded right password saves nothing either.
    QVERIFY(m_tester->test({kBob, clear(), kPassword, {}}));
    QVERIFY(m_tester->test({kAlice, clear(), QStringLiteral("wrong-pw"), {}}));
    QVERIFY(failed.wait(20000));
    QCOMPARE(failed.size(), 2);
    // Alice's right password, asked for afterwards, is saved after Bob's would have been.
    QVERIFY(m_tester->test({kAlice, clear(), kPassword, {}}));
    QTRY_COMPARE_WITH_TIMEOUT(saved.size(), 2, 20000);
    QCOMPARE(saved.at(1).at(0).toString(), kAlice);
    QVERIFY(!m_accounts->hasAccount(kBob));

    // Cancelling ends a password command that still runs, without a report: the refusal of a
    // test started afterwards is the only one.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(m_tester->test({kBob, clear(), {}, QStringLiteral("sleep 20; echo secret-pw")}));
    m_tester->cancel();
    QVERIFY(!m_tester->isTesting());
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(m_tester->test({kBob, clear(), QStringLiteral("wrong-pw"), {}}));
    QVERIFY(failed.wait(20000));
    QCOMPARE(failed.size(), 3);
    QCOMPARE(failed.last().at(0).toString(), kBob);
}

void TestAccountTester::passwordCommands() {
    QSignalSpy failed(m_tester.get(), &AccountTester::failed);
    QSignalSpy saved(m_tester.get(), &AccountTester::saved);
    QVERIFY(m_tester->test({kBob, clear(), {}, QStringLiteral("echo oops >&2; exit 3")}));
    QVERIFY(failed.wait(20000));
    QVERIFY2(failed.at(0).at(1).toString().startsWith(QStringLiteral("The password command")),
             qPrintable(failed.at(0).at(1).toString()));
    QVERIFY(failed.at(0).at(1).toString().contains(QStringLiteral("oops")));

    QVERIFY(m_tester->test({kBob, clear(), {}, QStringLiteral("echo ab")}));
    QVERIFY(failed.wait(20000));
    QVERIFY(failed.at(1).at(1).toString().contains(QStringLiteral("too short")));
    QCOMPARE(saved.size(), 0);
    QVERIFY(!m_accounts->hasAccount(kBob));
}

void TestAccountTester::aKeyringThatRefusesIsReported() {
    QSignalSpy listed(m_tester.get(), &AccountTester::foldersListed);
    QSignalSpy failed(m_tester.get(), &AccountTester::failed);
    QSignalSpy saved(m_tester.get(), &AccountTester::saved);
    m_keychainItems->failStores = true;

    QVERIFY(m_tester->test({kAlice, clear(), kPassword, {}}));
    QVERIFY(failed.wait(20000));
    QVERIFY2(failed.at(0).at(1).toString().contains(QStringLiteral("the keyring is locked")),
             qPrintable(failed.at(0).at(1).toString()));
    // The folders are there to look at; the account is not stored without its password.
    QCOMPARE(listed.size(), 1);
    QCOMPARE(saved.size(), 0);
    QVERIFY(!m_accounts->hasAccount(kAlice));

    // Stored once; testing it again as it is stored (showing it does) writes nothing, so a
    // keyring that refuses writes is never asked.
    m_keychainItems->failStores = false;
    QVERIFY(m_tester->test({kAlice, clear(), kPassword, {}}));
    QVERIFY(saved.wait(20000));
    QVERIFY(m_accounts->hasAccount(kAlice));
    m_keychainItems->failStores = true;
    QVERIFY(m_tester->test({kAlice, clear(), kPassword, {}}));
    QVERIFY(saved.wait(20000));
    QCOMPARE(failed.size(), 1);
}

QTEST_GUILESS_MAIN(TestAccountTester)
#include "tst_accounttester.moc"
