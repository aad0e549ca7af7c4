#include "app/accountpanel/emailsettingspanel.h"

#include "app/accountpanel/emailfoldermodel.h"
#include "app/appcontext.h"
#include "archive/archivecontroller.h"
#include "platform/mail/imapcertificate.h"
#include "settings/accounttester.h"
#include "settings/emailsettings.h"
#include "settings/lookupserver.h"
#include "settings/settingslog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace tessaly {

namespace {

constexpr int kAutoFillMinAddressLength = 10;
constexpr int kReloadDelayMs = 200;
// Half of a SHA-256 fingerprint's 32 bytes per line: short enough to compare by eye.
constexpr int kFingerprintBytesPerLine = 16;

QString groupedFingerprint(const QString& sha256) {
    const QStringList bytes = readableFingerprint(sha256).toUpper().split(u':');
    QStringList lines;
    for (qsizetype i = 0; i < bytes.size(); i += kFingerprintBytesPerLine) {
        lines.append(bytes.mid(i, kFingerprintBytesPerLine).join(u':'));
    }
    return lines.join(u'\n');
}

QToolButton* helpButton(const QString& accessibleName, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(QStringLiteral("?"));
    button->setIcon(QIcon::fromTheme(QStringLiteral("help-contextual")));
    button->setToolButtonStyle(Qt::ToolButtonFollowStyle);
    button->setToolTip(accessibleName);
    button->setAccessibleName(accessibleName);
    button->setFocusPolicy(Qt::StrongFocus);
    return button;
}

} // namespace

EmailSettingsPanel::EmailSettingsPanel(AppContext& app, QWidget* parent)
    : AccountPanel(parent)
    , m_app(app)
    , m_tester(new AccountTester(app.accounts(), this))
    , m_folderModel(new EmailFolderModel(app.accounts(), this))
    , m_reloadTimer(new QTimer(this)) {
    buildLayout();

    m_reloadTimer->setSingleShot(true);
    m_reloadTimer->setInterval(kReloadDelayMs);
    connect(m_reloadTimer, &QTimer::timeout, this, &EmailSettingsPanel::reloadTableNow);

    connect(m_emailAddress, &QLineEdit::textChanged, this, &EmailSettingsPanel::fieldEdited);
    connect(m_imapConfig, &QLineEdit::textChanged, this, &EmailSettingsPanel::fieldEdited);
    connect(m_password, &QLineEdit::textChanged, this, &EmailSettingsPanel::reloadTableNow);
    connect(m_emailAddress, &QLineEdit::editingFinished, this,
            &EmailSettingsPanel::tryAutoFillIMAPServer);
    connect(m_password, &QLineEdit::returnPressed, this, &EmailSettingsPanel::tryEmailAccount);
    connect(m_imapConfig, &QLineEdit::returnPressed, this, &EmailSettingsPanel::tryEmailAccount);

    connect(m_saveButton, &QPushButton::clicked, this, &EmailSettingsPanel::tryEmailAccount);
    connect(m_startArchiving, &QPushButton::clicked, this,
            &EmailSettingsPanel::startArchivingAction);
    connect(m_removeButton, &QPushButton::clicked, this, &EmailSettingsPanel::removeClicked);
    connect(m_changeSavePathButton, &QPushButton::clicked, this,
            &EmailSettingsPanel::changeSavePath);
    connect(m_revertToDefaultButton, &QPushButton::clicked, this,
            &EmailSettingsPanel::revertToDefault);
    connect(m_fileNameFormat, &QPushButton::clicked, this,
            &EmailSettingsPanel::setFileFormatAction);
    connect(m_imapHelp, &QToolButton::clicked, this,
            [this] { m_app.showHelp(QStringLiteral("imap"), this); });
    connect(m_passwordHelp, &QToolButton::clicked, this,
            [this] { m_app.showHelp(QStringLiteral("password"), this); });
    connect(m_emailFoldersTable, &QTreeView::clicked, this,
            [this](const QModelIndex& index) { toggleFolderSetting(index.row()); });

    connect(m_tester, &AccountTester::foldersListed, this, [this] {
        m_testing->hide();
        setUIState();
        // A new listing for the same fields replaces the rows.
        m_shownFolderListKey.clear();
        reloadTableNow();
    });
    connect(m_tester, &AccountTester::failed, this, &EmailSettingsPanel::testFailed);
    connect(m_tester, &AccountTester::saved, this, [this](const QString& saved) {
        setUIState();
        Q_EMIT accountSaved(saved);
    });
    connect(&m_app.archiveController(), &ArchiveController::errorFolderNames, this,
            &EmailSettingsPanel::errorFolderNames);

    populateEmailSettings({});
}

EmailSettingsPanel::~EmailSettingsPanel() {
    // Closing the window takes the focus from a field, which reports the end of its editing:
    // by then this panel is half destroyed and must not hear it.
    m_emailFoldersTable->removeEventFilter(this);
    const QList<QObject*> children = findChildren<QObject*>();
    for (QObject* child : children) {
        child->disconnect(this);
    }
}

void EmailSettingsPanel::buildLayout() {
    m_emailAddress = new QLineEdit(this);
    m_emailAddress->setObjectName(QStringLiteral("emailAddress"));
    m_emailAddress->setAccessibleName(tr("Email address"));
    m_emailAddress->setPlaceholderText(tr("name@example.com"));
    m_emailAddress->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);

    m_passwordLabel = new QLabel(tr("Password:"), this);
    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setAccessibleName(tr("Password"));
    m_password->setEchoMode(QLineEdit::Password);
    m_passwordLabel->setBuddy(m_password);
    m_passwordHelp = helpButton(tr("Help on passwords"), this);
    m_passwordHelp->setObjectName(QStringLiteral("passwordHelp"));

    m_imapConfig = new QLineEdit(this);
    m_imapConfig->setObjectName(QStringLiteral("imapConfig"));
    m_imapConfig->setAccessibleName(tr("IMAP server"));
    m_imapConfig->setPlaceholderText(tr("imap.example.com:993:tls"));
    m_imapConfig->setInputMethodHints(Qt::ImhUrlCharactersOnly | Qt::ImhNoAutoUppercase);
    m_imapHelp = helpButton(tr("Help on IMAP servers"), this);
    m_imapHelp->setObjectName(QStringLiteral("imapHelp"));

    auto* addressLabel = new QLabel(tr("&Email address:"), this);
    addressLabel->setBuddy(m_emailAddress);
    auto* serverLabel = new QLabel(tr("IMAP &server:"), this);
    serverLabel->setBuddy(m_imapConfig);

    auto* passwordRow = new QHBoxLayout;
    passwordRow->addWidget(m_password, 1);
    passwordRow->addWidget(m_passwordHelp);
    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(m_imapConfig, 1);
    serverRow->addWidget(m_imapHelp);

    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    form->addRow(addressLabel, m_emailAddress);
    form->addRow(m_passwordLabel, passwordRow);
    form->addRow(serverLabel, serverRow);

    m_oauthNote = new QLabel(tr("This account signs in with Google, which this version of "
                                "Tessaly cannot do."),
                             this);
    m_oauthNote->setObjectName(QStringLiteral("oauthNote"));
    m_oauthNote->setWordWrap(true);

    m_saveButton = new QPushButton(tr("Add"), this);
    m_saveButton->setObjectName(QStringLiteral("saveButton"));
    m_saveButton->setAccessibleName(tr("Test and save the account"));
    m_testing = new QLabel(tr("Testing the account…"), this);
    m_testing->setObjectName(QStringLiteral("testing"));
    m_testing->hide();
    auto* saveRow = new QHBoxLayout;
    saveRow->addWidget(m_saveButton);
    saveRow->addWidget(m_testing);
    saveRow->addStretch(1);

    m_emailError = new QLabel(this);
    m_emailError->setObjectName(QStringLiteral("emailError"));
    m_emailError->setAccessibleName(tr("Error"));
    // Server texts are shown as they came, never as markup.
    m_emailError->setTextFormat(Qt::PlainText);
    m_emailError->setWordWrap(true);
    m_emailError->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_emailError->setFocusPolicy(Qt::StrongFocus);
    m_emailError->hide();

    auto* destinationTitle = new QLabel(tr("Destination:"), this);
    m_emailSavePath = new QLabel(this);
    m_emailSavePath->setObjectName(QStringLiteral("emailSavePath"));
    m_emailSavePath->setAccessibleName(tr("Destination folder"));
    m_emailSavePath->setTextFormat(Qt::PlainText);
    m_emailSavePath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long path must not widen the window; the tooltip holds it whole.
    m_emailSavePath->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_changeSavePathButton = new QPushButton(tr("Set Custom"), this);
    m_changeSavePathButton->setObjectName(QStringLiteral("changeSavePathButton"));
    m_changeSavePathButton->setAccessibleName(tr("Choose the account's own destination"));
    m_revertToDefaultButton = new QPushButton(tr("Use Default"), this);
    m_revertToDefaultButton->setObjectName(QStringLiteral("revertToDefaultButton"));
    m_revertToDefaultButton->setAccessibleName(tr("Use the general destination"));
    auto* destinationRow = new QHBoxLayout;
    destinationRow->addWidget(destinationTitle);
    destinationRow->addWidget(m_emailSavePath, 1);
    destinationRow->addWidget(m_changeSavePathButton);
    destinationRow->addWidget(m_revertToDefaultButton);

    m_emailFoldersTable = new QTreeView(this);
    m_emailFoldersTable->setObjectName(QStringLiteral("emailFoldersTable"));
    m_emailFoldersTable->setAccessibleName(tr("Folders to archive"));
    m_emailFoldersTable->setAccessibleDescription(
        tr("Click a folder or press Space to switch it on or off"));
    m_emailFoldersTable->setModel(m_folderModel);
    m_emailFoldersTable->setRootIsDecorated(false);
    m_emailFoldersTable->setUniformRowHeights(true);
    m_emailFoldersTable->setSelectionMode(QAbstractItemView::NoSelection);
    m_emailFoldersTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_emailFoldersTable->setFocusPolicy(Qt::StrongFocus);
    m_emailFoldersTable->header()->setStretchLastSection(true);
    m_emailFoldersTable->installEventFilter(this);
    auto* foldersHint =
        new QLabel(tr("Click a folder, or press Space on it, to switch it off or on."), this);
    foldersHint->setWordWrap(true);

    m_startArchiving = new QPushButton(tr("Start Archiving"), this);
    m_startArchiving->setObjectName(QStringLiteral("startArchiving"));
    m_startArchiving->setAccessibleName(tr("Start archiving this account"));
    m_fileNameFormat = new QPushButton(tr("Path Formats…"), this);
    m_fileNameFormat->setObjectName(QStringLiteral("fileNameFormat"));
    m_fileNameFormat->setAccessibleName(tr("Path formats of this account"));
    m_removeButton = new QPushButton(tr("Remove"), this);
    m_removeButton->setObjectName(QStringLiteral("removeButton"));
    m_removeButton->setAccessibleName(tr("Remove this account"));
    auto* actionRow = new QHBoxLayout;
    actionRow->addWidget(m_startArchiving);
    actionRow->addWidget(m_fileNameFormat);
    actionRow->addStretch(1);
    actionRow->addWidget(m_removeButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_oauthNote);
    layout->addLayout(saveRow);
    layout->addWidget(m_emailError);
    layout->addLayout(destinationRow);
    layout->addWidget(m_emailFoldersTable, 1);
    layout->addWidget(foldersHint);
    layout->addLayout(actionRow);

    // The three fields first, in the order they are filled in; then the rest top to bottom.
    const QList<QWidget*> order = {m_emailAddress,
                                   m_password,
                                   m_imapConfig,
                                   m_passwordHelp,
                                   m_imapHelp,
                                   m_saveButton,
                                   m_emailError,
                                   m_changeSavePathButton,
                                   m_revertToDefaultButton,
                                   m_emailFoldersTable,
                                   m_startArchiving,
                                   m_fileNameFormat,
                                   m_removeButton};
    for (qsizetype i = 1; i < order.size(); ++i) {
        setTabOrder(order.at(i - 1), order.at(i));
    }
}

QString EmailSettingsPanel::address() const {
    return EmailSettings::accountKey(m_emailAddress->text());
}

AccountFields EmailSettingsPanel::fields() const {
    AccountFields f;
    f.address = address();
    f.server = m_imapConfig->text();
    if (m_passwordCommand.isEmpty()) {
        f.password = m_password->text();
    } else {
        f.passwordCommand = m_passwordCommand;
    }
    return f;
}

QString EmailSettingsPanel::currentFolderListKey() const {
    return AccountTester::folderListKey(fields());
}

void EmailSettingsPanel::addEmailAccount() {
    // Google sign-in is not offered yet, so there is nothing to choose between.
    populateEmailSettings({});
    m_emailAddress->setFocus(Qt::OtherFocusReason);
}

void EmailSettingsPanel::populateEmailSettings(const QString& addressToShow) {
    m_tester->cancel();
    m_testing->hide();
    EmailSettings& accounts = m_app.accounts();
    const QString shown = EmailSettings::accountKey(addressToShow);
    m_oauth = !shown.isEmpty() && accounts.credentialKind(shown) == CredentialKind::OAuth;

    showPasswordCommand({});
    m_emailAddress->setText(shown);
    showError({});

    QString server = accounts.imapConfig(shown);
    if (m_oauth) {
        server = LookupServer::lookupServer(shown);
    }
    m_imapConfig->setText(server);

    // A keyring may take its time (asking to be unlocked, say): the panel shows the account
    // at once and its password when it comes, then tests it.
    const quint64 request = ++m_passwordRequest;
    bool passwordComing = false;
    if (!shown.isEmpty() && accounts.credentialKind(shown) == CredentialKind::Command) {
        m_commandAddress = shown;
        showPasswordCommand(accounts.passwordCommand(shown));
    } else if (!m_oauth && !shown.isEmpty()) {
        m_password->clear();
        passwordComing = true;
        accounts.password(
            shown, this,
            [this, request](const std::optional<QString>& password, const KeychainError& error) {
                if (request != m_passwordRequest) {
                    return; // another account is shown by now
                }
                m_password->setText(password.value_or(QString()));
                if (error.isError() && error.kind != KeychainError::Kind::NotFound) {
                    showError(tr("The password could not be read from the keyring: %1")
                                  .arg(error.message));
                }
                tryEmailAccount();
            });
    } else {
        m_password->clear();
    }

    m_oauthNote->setVisible(m_oauth);
    m_saveButton->setVisible(!m_oauth);
    m_password->setEnabled(!m_oauth);
    m_imapConfig->setEnabled(!m_oauth);

    reloadTableNow();
    setUIState();
    if (!passwordComing) {
        tryEmailAccount();
    }
}

void EmailSettingsPanel::setUIState() {
    EmailSettings& accounts = m_app.accounts();
    const QString key = address();
    bool hasOverride = false;
    const QString path = accounts.destPathForItem(key, &hasOverride);
    if (path.isEmpty()) {
        m_emailSavePath->setText(tr("Default (no destination chosen yet)"));
    } else {
        m_emailSavePath->setText(hasOverride ? path : tr("Default (%1)").arg(path));
    }
    m_emailSavePath->setToolTip(path);
    m_revertToDefaultButton->setVisible(hasOverride);
    m_changeSavePathButton->setText(hasOverride ? tr("Change") : tr("Set Custom"));
    // A destination is stored under the address: without one it would be lost.
    m_changeSavePathButton->setEnabled(!key.isEmpty());

    const bool stored = !key.isEmpty() && accounts.hasAccount(key);
    m_saveButton->setText(stored ? tr("Save") : tr("Add"));
    m_startArchiving->setVisible(stored);
    m_fileNameFormat->setVisible(stored);
    m_removeButton->setVisible(stored);
}

void EmailSettingsPanel::tryEmailAccount() {
    if (m_oauth) {
        return;
    }
    if (m_tester->test(fields())) {
        showError({});
        m_testing->show();
    }
}

void EmailSettingsPanel::fieldEdited() {
    if (m_trimming) {
        return;
    }
    m_trimming = true;
    for (QLineEdit* field : {m_emailAddress, m_imapConfig}) {
        const QString trimmed = field->text().trimmed();
        if (trimmed != field->text()) {
            field->setText(trimmed);
        }
    }
    m_trimming = false;
    // A password command belongs to the account it was shown for, not to a new address.
    if (!m_passwordCommand.isEmpty() && address() != m_commandAddress) {
        showPasswordCommand({});
    }
    setUIState();
    reloadTableNow();
}

void EmailSettingsPanel::tryAutoFillIMAPServer() {
    const QString typed = address();
    if (m_imapConfig->text().isEmpty() && typed.size() >= kAutoFillMinAddressLength) {
        m_imapConfig->setText(LookupServer::lookupServer(typed));
    }
}

void EmailSettingsPanel::showPasswordCommand(const QString& command) {
    m_passwordCommand = command;
    const bool shown = !command.isEmpty();
    if (!shown) {
        m_commandAddress.clear();
    }
    m_passwordLabel->setText(shown ? tr("Password command:") : tr("&Password:"));
    m_password->setReadOnly(shown);
    m_password->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
    m_password->setAccessibleName(shown ? tr("Password command") : tr("Password"));
    m_password->setText(command);
}

void EmailSettingsPanel::showError(const QString& text) {
    m_emailError->setText(text);
    m_emailError->setVisible(!text.isEmpty());
}

void EmailSettingsPanel::testFailed(const QString& testedAddress, const QString& error,
                                    const QString& sha256) {
    m_testing->hide();
    setUIState();
    if (testedAddress != address()) {
        return;
    }
    showError(error);
    if (!sha256.isEmpty()) {
        askToTrustCertificate(testedAddress, sha256);
    }
}

void EmailSettingsPanel::askToTrustCertificate(const QString& account, const QString& sha256) {
    auto* question =
        new QMessageBox(QMessageBox::Question, tr("Trust This Certificate?"),
                        tr("The server's certificate for %1 could not be verified.").arg(account),
                        QMessageBox::Yes | QMessageBox::No, this);
    question->setObjectName(QStringLiteral("trustCertificateQuestion"));
    question->setTextFormat(Qt::PlainText);
    question->setInformativeText(
        tr("SHA-256 fingerprint:\n%1\n\nTrust this certificate for this account? Only do so when "
           "you know this is your server's own certificate (a self-signed one, say). A different "
           "certificate will be refused again.")
            .arg(groupedFingerprint(sha256)));
    question->setDefaultButton(QMessageBox::No);
    question->setWindowModality(Qt::WindowModal);
    question->setAttribute(Qt::WA_DeleteOnClose);
    connect(question, &QMessageBox::finished, this, [this, question, account, sha256] {
        if (question->clickedButton() != question->button(QMessageBox::Yes)) {
            return;
        }
        if (!m_app.accounts().setTrustedCertificate(account, sha256)) {
            showError(tr("The certificate could not be stored for %1.").arg(account));
            return;
        }
        // The user may have gone on to another account meanwhile; that one is not retested.
        if (address() == account) {
            tryEmailAccount();
        }
    });
    question->open();
}

void EmailSettingsPanel::errorFolderNames(const QString& account, const QString& error) {
    if (account.isEmpty() || account != address()) {
        return;
    }
    showError(error);
}

void EmailSettingsPanel::removeClicked() {
    EmailSettings& accounts = m_app.accounts();
    const QString key = address();
    if (key.isEmpty() || !accounts.hasAccount(key)) {
        return;
    }
    m_tester->cancel();
    m_testing->hide();
    ++m_passwordRequest; // a password still coming is not for an empty panel
    // The account leaves the list at once; its password item goes when the keyring answers.
    accounts.removeAccount(key, this, [this](const KeychainError& error) {
        if (error.isError()) {
            showError(tr("The account is removed, but its password could not be removed from "
                         "the keyring: %1")
                          .arg(error.message));
        }
    });
    showPasswordCommand({});
    m_emailAddress->clear();
    m_password->clear();
    m_imapConfig->clear();
    showError({});
    setUIState();
    reloadTableNow();
    Q_EMIT accountRemoved();
}

void EmailSettingsPanel::changeSavePath() {
    const QString key = address();
    if (key.isEmpty()) {
        return;
    }
    QPointer<EmailSettingsPanel> self(this);
    m_app.chooseFolder(window(), {tr("Choose Destination Folder"), QString()},
                       [self, key](const QString& folder) {
                           if (!self) {
                               return;
                           }
                           self->m_app.accounts().setDestinationFolder(key, folder);
                           // Only the destination changed: what is typed in the fields stays.
                           self->setUIState();
                       });
}

void EmailSettingsPanel::revertToDefault() {
    m_app.accounts().setDestinationFolder(address(), {});
    setUIState();
}

void EmailSettingsPanel::setFileFormatAction() {
    const QString key = address();
    if (key.isEmpty()) {
        qCInfo(lcSettings) << "They need to set the email address first.";
        return;
    }
    m_app.showPathFormatEditor(key, window());
}

void EmailSettingsPanel::startArchivingAction() {
    const QString key = address();
    if (!key.isEmpty()) {
        m_app.startArchivingJob(key);
    }
}

bool EmailSettingsPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_emailFoldersTable && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Space || key->key() == Qt::Key_Select) &&
            m_emailFoldersTable->currentIndex().isValid()) {
            toggleFolderSetting(m_emailFoldersTable->currentIndex().row());
            return true;
        }
    }
    return AccountPanel::eventFilter(watched, event);
}

void EmailSettingsPanel::toggleFolderSetting(int row) {
    if (row < 0 || row >= m_folderModel->rowCount()) {
        return;
    }
    const QString path = m_folderModel->folderPath(row);
    // With no address there is no account to store the choice for: nothing changes.
    m_app.accounts().toggleFolderSetting(address(), path);
    reloadTableSoon();
}

void EmailSettingsPanel::reloadTableSoon() {
    m_reloadTimer->start();
}

void EmailSettingsPanel::reloadTableNow() {
    m_reloadTimer->stop();
    const QString key = currentFolderListKey();
    if (key == m_shownFolderListKey) {
        // The same listing: the rows stay, and so does the keyboard's place among them.
        m_folderModel->reload();
        return;
    }
    m_shownFolderListKey = key;
    m_folderModel->setFolders(address(), m_tester->folders(key));
}

} // namespace tessaly
