// The account panel against a private Dovecot, with passwords in memory.

#include "app/accountpanel/emailsettingspanel.h"
#include "dovecotserver.h"
#include "screenshots.h"
#include "testappcontext.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

#include <memory>

using namespace tessaly;
using namespace tessaly::test;

namespace {

const QString kAlice = QStringLiteral("alice@example.test");
const QString kBob = QStringLiteral("bob@example.test");
const QString kCarol = QStringLiteral("carol@example.test");
const QString kPassword = QStringLiteral("secret-pw");
const QString kArchive2024 = QStringLiteral("Archive/2024");

} // namespace

class TestAccountPanel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void addingAnAccountSavesItAndListsItsFolders();
    void aWrongPasswordShowsTheServersErrorAndSavesNothing();
    void aSelfSignedCertificateIsTrustedOnlyWhenTheUserSaysSo();
    void implausibleFieldsAreNeverTested();
    void foldersAreSwitchedOffAndOnByClickAndSpace();
    void withoutAnAddressNothingIsStored();
    void onlyErrorsOfTheShownAccountAreShown();
    void destinationAndRemoval();
    void aPasswordCommandAccountIsTestedWithItsOutput();

private:
    template <typename T> T* child(const char* name) const {
        T* widget = m_panel->findChild<T*>(QString::fromLatin1(name));
        if (!widget) {
            qFatal("no child %s", name);
        }
        return widget;
    }
    QLineEdit* field(const char* name) const { return child<QLineEdit>(name); }
    QString clear() const { return QStringLiteral("127.0.0.1:%1:clear").arg(m_server->imapPort()); }
    QString tls() const { return QStringLiteral("127.0.0.1:%1").arg(m_server->imapsPort()); }
    bool testing() const { return !child<QLabel>("testing")->isHidden(); }
    QString errorText() const {
        const QLabel* error = child<QLabel>("emailError");
        return error->isHidden() ? QString() : error->text();
    }
    QAbstractItemModel* folders() const { return child<QTreeView>("emailFoldersTable")->model(); }
    int rowOf(const QString& path) const {
        for (int row = 0; row < folders()->rowCount(); ++row) {
            if (folders()->index(row, 0).data().toString() == path) {
                return row;
            }
        }
        return -1;
    }
    void fillIn(const QString& address, const QString& password, const QString& server) {
        field("emailAddress")->setText(address);
        field("password")->setText(password);
        field("imapConfig")->setText(server);
    }
    void clickRow(int row) {
        QTreeView* table = child<QTreeView>("emailFoldersTable");
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {},
                          table->visualRect(folders()->index(row, 0)).center());
    }
    QVariantMap storedValues() const {
        QVariantMap values;
        for (const QString& key : m_context->store().storedKeys()) {
            values.insert(key, m_context->store().value(key));
        }
        return values;
    }
    // Adds alice with her folders listed, as the user would.
    void addAlice() {
        fillIn(kAlice, kPassword, clear());
        child<QPushButton>("saveButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(m_context->accounts().hasAccount(kAlice), 20000);
        QTRY_VERIFY(!testing());
    }

    std::unique_ptr<DovecotServer> m_server;
    std::unique_ptr<TestAppContext> m_context;
    std::unique_ptr<EmailSettingsPanel> m_panel;
};

void TestAccountPanel::initTestCase() {
    QLoggingCategory::setFilterRules(QStringLiteral("tessaly.settings.info=true"));
    QString error;
    DovecotServer::Options options;
    options.users = {kAlice, kBob, kCarol};
    options.password = kPassword;
    m_server = DovecotServer::start(options, &error);
    QVERIFY2(m_server, qPrintable(error));
    for (const QString& folder : {kArchive2024, QStringLiteral("Lists/Qt")}) {
        QVERIFY2(m_server->createFolder(kAlice, folder, &error), qPrintable(error));
    }
}

void TestAccountPanel::init() {
    m_context = std::make_unique<TestAppContext>();
    m_panel = std::make_unique<EmailSettingsPanel>(*m_context);
    m_panel->resize(800, 600);
    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
}

void TestAccountPanel::cleanup() {
    m_panel.reset();
    m_context.reset();
}

void TestAccountPanel::addingAnAccountSavesItAndListsItsFolders() {
    QSignalSpy saved(m_panel.get(), &EmailSettingsPanel::accountSaved);
    QCOMPARE(child<QPushButton>("saveButton")->text(), QStringLiteral("Add"));
    QVERIFY(child<QPushButton>("startArchiving")->isHidden());

    QTest::keyClicks(field("emailAddress"), QStringLiteral(" ") + kAlice + QStringLiteral(" "));
    QCOMPARE(field("emailAddress")->text(), kAlice);
    field("password")->setText(kPassword);
    field("imapConfig")->setText(clear() + QStringLiteral("\n"));
    QCOMPARE(field("imapConfig")->text(), clear());
    child<QPushButton>("saveButton")->click();
    QVERIFY(testing());

    QVERIFY(saved.wait(20000));
    QCOMPARE(saved.at(0).at(0).toString(), kAlice);
    QCOMPARE(m_context->accounts().imapConfig(kAlice), clear());
    QCOMPARE(m_context->accounts().password(kAlice), std::optional<QString>(kPassword));
    QVERIFY(!testing());
    QCOMPARE(errorText(), QString());
    QCOMPARE(child<QPushButton>("saveButton")->text(), QStringLiteral("Save"));
    QVERIFY(!child<QPushButton>("startArchiving")->isHidden());
    QVERIFY(rowOf(QStringLiteral("INBOX")) >= 0);
    QVERIFY(rowOf(kArchive2024) >= 0);
    QCOMPARE(folders()->index(rowOf(kArchive2024), 0).data(Qt::CheckStateRole).toInt(),
             int(Qt::Checked));

    // Another password shows another (as yet empty) listing; going back shows the first again.
    field("password")->setText(QStringLiteral("other-pw"));
    QCOMPARE(folders()->rowCount(), 0);
    field("password")->setText(kPassword);
    QVERIFY(rowOf(kArchive2024) >= 0);

    child<QPushButton>("startArchiving")->click();
    QCOMPARE(m_context->startedSources, QStringList{kAlice});
    child<QPushButton>("fileNameFormat")->click();
    QCOMPARE(m_context->pathFormatEditorsShown, QStringList{kAlice});
    child<QAbstractButton>("imapHelp")->click();
    child<QAbstractButton>("passwordHelp")->click();
    QCOMPARE(m_context->helpTopicsShown, (QStringList{"imap", "password"}));
}

void TestAccountPanel::aWrongPasswordShowsTheServersErrorAndSavesNothing() {
    fillIn(kBob, QStringLiteral("wrong-pw"), clear());
    child<QPushButton>("saveButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!errorText().isEmpty(), 20000);
    // Dovecot's own words come through.
    QVERIFY2(errorText().contains(QStringLiteral("Authentication failed")),
             qPrintable(errorText()));
    QVERIFY(!testing());
    QVERIFY(!m_context->accounts().hasAccount(kBob));
    QVERIFY(!m_context->accounts().password(kBob));
    QCOMPARE(child<QPushButton>("saveButton")->text(), QStringLiteral("Add"));
    QCOMPARE(folders()->rowCount(), 0);
}

void TestAccountPanel::aSelfSignedCertificateIsTrustedOnlyWhenTheUserSaysSo() {
    auto question = [this]() -> QMessageBox* {
        return m_panel->findChild<QMessageBox*>(QStringLiteral("trustCertificateQuestion"));
    };
    fillIn(kCarol, kPassword, tls());
    child<QPushButton>("saveButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(question() && question()->isVisible(), 20000);
    QCOMPARE(question()->windowModality(), Qt::WindowModal);
    const QString shown = question()->informativeText().remove(u':').remove(u'\n').toLower();
    QVERIFY2(shown.contains(m_server->certificateSha256()), qPrintable(shown));

    question()->button(QMessageBox::No)->click();
    QTRY_VERIFY(!question());
    QVERIFY(errorText().contains(QStringLiteral("could not be verified")));
    QCOMPARE(m_context->accounts().trustedCertificate(kCarol), QString());
    QVERIFY(!m_context->accounts().hasAccount(kCarol));

    child<QPushButton>("saveButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(question() && question()->isVisible(), 20000);
    question()->button(QMessageBox::Yes)->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_context->accounts().hasAccount(kCarol), 20000);
    QCOMPARE(m_context->accounts().trustedCertificate(kCarol), m_server->certificateSha256());
    QTRY_VERIFY(rowOf(QStringLiteral("INBOX")) >= 0);
    QCOMPARE(errorText(), QString());
}

void TestAccountPanel::implausibleFieldsAreNeverTested() {
    // Both would be refused by the server, so an error would show if either were tried.
    fillIn(QStringLiteral("a@b."), kPassword, clear());
    child<QPushButton>("saveButton")->click();
    QVERIFY(!testing());
    fillIn(kBob, QStringLiteral("pw"), clear());
    child<QPushButton>("saveButton")->click();
    QVERIFY(!testing());
    QTest::qWait(500);
    QCOMPARE(errorText(), QString());
    QCOMPARE(m_context->accounts().emailAccounts(), QStringList());
}

void TestAccountPanel::foldersAreSwitchedOffAndOnByClickAndSpace() {
    addAlice();
    EmailSettings& accounts = m_context->accounts();
    const int row = rowOf(kArchive2024);
    QVERIFY(row >= 0);

    clickRow(row);
    QCOMPARE(accounts.foldersTurnedOff(kAlice), QStringList{kArchive2024});
    QTRY_COMPARE(folders()->index(row, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    QVERIFY(folders()->index(row, 0).data(Qt::ForegroundRole).isValid());
    clickRow(row);
    QVERIFY(accounts.foldersTurnedOff(kAlice).isEmpty());
    QVERIFY(accounts.isFolderON(kAlice, kArchive2024));
    QTRY_COMPARE(folders()->index(row, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));

    // From the keyboard; the keyboard's place stays on the row once the table is reloaded.
    QTreeView* table = child<QTreeView>("emailFoldersTable");
    table->setFocus();
    table->setCurrentIndex(folders()->index(row, 0));
    QTest::keyClick(table, Qt::Key_Space);
    QCOMPARE(accounts.foldersTurnedOff(kAlice), QStringList{kArchive2024});
    QTest::qWait(300);
    QCOMPARE(table->currentIndex().row(), row);
    QVERIFY(table->selectionModel()->selectedIndexes().isEmpty());

    saveScreenshots(m_panel.get(), QStringLiteral("account-panel"));
}

void TestAccountPanel::withoutAnAddressNothingIsStored() {
    addAlice();
    const QVariantMap before = storedValues();
    field("emailAddress")->clear();
    QCOMPARE(folders()->rowCount(), 0);
    clickRow(0);
    QTest::keyClick(child<QTreeView>("emailFoldersTable"), Qt::Key_Space);
    QTest::ignoreMessage(QtInfoMsg, "They need to set the email address first.");
    child<QPushButton>("fileNameFormat")->click();
    QVERIFY(m_context->pathFormatEditorsShown.isEmpty());
    QVERIFY(!child<QPushButton>("changeSavePathButton")->isEnabled());
    QTest::qWait(300);
    QCOMPARE(storedValues(), before);
    QVERIFY(m_context->accounts().foldersTurnedOff(kAlice).isEmpty());
}

void TestAccountPanel::onlyErrorsOfTheShownAccountAreShown() {
    addAlice();
    ArchiveController& controller = m_context->archiveController();
    Q_EMIT controller.errorFolderNames(kBob, QStringLiteral("Bob's folders could not be listed"));
    QCOMPARE(errorText(), QString());
    Q_EMIT controller.errorFolderNames(kAlice, QStringLiteral("<b>Alice's</b> were not listed"));
    QCOMPARE(errorText(), QStringLiteral("<b>Alice's</b> were not listed"));
    QCOMPARE(child<QLabel>("emailError")->textFormat(), Qt::PlainText);
    // Showing an account starts afresh.
    m_panel->populateEmailSettings(kAlice);
    QCOMPARE(errorText(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!testing(), 20000);
}

void TestAccountPanel::destinationAndRemoval() {
    addAlice();
    EmailSettings& accounts = m_context->accounts();
    QLabel* destination = child<QLabel>("emailSavePath");
    QPushButton* change = child<QPushButton>("changeSavePathButton");
    const QString general = m_context->generalDestination() + u'/' + kAlice;
    QCOMPARE(destination->text(), QStringLiteral("Default (%1)").arg(general));
    QCOMPARE(change->text(), QStringLiteral("Set Custom"));

    const QString own = m_context->folder(QStringLiteral("Own"));
    m_context->folderChoices = {own};
    field("password")->setText(QStringLiteral("typed-but-not-saved"));
    change->click();
    QCOMPARE(m_context->folderRequests.size(), 1);
    QCOMPARE(m_context->folderRequests.at(0).title, QStringLiteral("Choose Destination Folder"));
    QCOMPARE(destination->text(), own + u'/' + kAlice);
    QCOMPARE(change->text(), QStringLiteral("Change"));
    // Choosing a folder keeps what the user typed.
    QCOMPARE(field("password")->text(), QStringLiteral("typed-but-not-saved"));
    child<QPushButton>("revertToDefaultButton")->click();
    QCOMPARE(destination->text(), QStringLiteral("Default (%1)").arg(general));
    QVERIFY(child<QPushButton>("revertToDefaultButton")->isHidden());

    accounts.setFolderOn(kAlice, kArchive2024, false);
    QSignalSpy removed(m_panel.get(), &EmailSettingsPanel::accountRemoved);
    child<QPushButton>("removeButton")->click();
    QCOMPARE(removed.size(), 1);
    QVERIFY(!accounts.hasAccount(kAlice));
    QVERIFY(!accounts.password(kAlice));
    QCOMPARE(accounts.imapConfig(kAlice), QString());
    for (const char* name : {"emailAddress", "password", "imapConfig"}) {
        QCOMPARE(field(name)->text(), QString());
    }
    QVERIFY(child<QPushButton>("removeButton")->isHidden());
    // What comes back when the address is added again stays.
    QCOMPARE(accounts.foldersTurnedOff(kAlice), QStringList{kArchive2024});
}

void TestAccountPanel::aPasswordCommandAccountIsTestedWithItsOutput() {
    EmailSettings& accounts = m_context->accounts();
    const QString command = QStringLiteral("echo secret-pw");
    QVERIFY(!accounts.setPrefsEmailAddress(kAlice, clear()).isError());
    accounts.setPasswordCommand(kAlice, command);

    m_panel->populateEmailSettings(kAlice);
    QCOMPARE(field("password")->text(), command);
    QVERIFY(field("password")->isReadOnly());
    QCOMPARE(field("password")->echoMode(), QLineEdit::Normal);
    QTRY_VERIFY_WITH_TIMEOUT(rowOf(kArchive2024) >= 0, 20000);
    QCOMPARE(errorText(), QString());
    QCOMPARE(accounts.credentialKind(kAlice), CredentialKind::Command);
    QVERIFY(!accounts.password(kAlice));

    // The command belongs to that address: another one gets a password field again.
    field("emailAddress")->setText(kBob);
    QVERIFY(!field("password")->isReadOnly());
    QCOMPARE(field("password")->text(), QString());
    QCOMPARE(field("password")->echoMode(), QLineEdit::Password);
}

QTEST_MAIN(TestAccountPanel)
#include "tst_accountpanel.moc"
