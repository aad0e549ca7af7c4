#pragma once

#include "app/settingsview/accountpanel.h"

#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolButton;
class QTreeView;

namespace tessaly {

class AccountTester;
class AppContext;
class EmailFolderModel;
struct AccountFields;

// One IMAP account: its address, password and server, tested with a folder listing and saved
// only when the listing succeeds; its own destination; and the folders to archive, each
// switched on or off with a click. Created once and switched between accounts.
class EmailSettingsPanel : public AccountPanel {
    Q_OBJECT

public:
    explicit EmailSettingsPanel(AppContext& app, QWidget* parent = nullptr);
    ~EmailSettingsPanel() override;

    void populateEmailSettings(const QString& address) override;
    void addEmailAccount() override;

Q_SIGNALS:
    // A test succeeded and the account was stored (new or updated).
    void accountSaved(const QString& address);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
    void setUIState();
    void tryEmailAccount();
    AccountFields fields() const;
    QString address() const;
    QString currentFolderListKey() const;

    void fieldEdited();
    void tryAutoFillIMAPServer();
    void showPasswordCommand(const QString& command);
    void showError(const QString& text);

    void testFailed(const QString& address, const QString& error, const QString& sha256);
    void askToTrustCertificate(const QString& address, const QString& sha256);
    void errorFolderNames(const QString& account, const QString& error);

    void removeClicked();
    void changeSavePath();
    void revertToDefault();
    void setFileFormatAction();
    void startArchivingAction();

    void toggleFolderSetting(int row);
    void reloadTableSoon();
    void reloadTableNow();

    AppContext& m_app;
    AccountTester* m_tester;
    EmailFolderModel* m_folderModel;
    QTimer* m_reloadTimer;

    QLineEdit* m_emailAddress;
    QLabel* m_passwordLabel;
    QLineEdit* m_password;
    QLineEdit* m_imapConfig;
    QToolButton* m_passwordHelp;
    QToolButton* m_imapHelp;
    QLabel* m_emailSavePath;
    QPushButton* m_changeSavePathButton;
    QPushButton* m_revertToDefaultButton;
    QLabel* m_oauthNote;
    QLabel* m_testing;
    QLabel* m_emailError;
    QPushButton* m_saveButton;
    QPushButton* m_startArchiving;
    QPushButton* m_fileNameFormat;
    QPushButton* m_removeButton;
    QTreeView* m_emailFoldersTable;

    // Set while the shown account signs in with a password command: the password field then
    // shows the command, for this address only.
    QString m_passwordCommand;
    QString m_commandAddress;
    // The fields whose listing the folder table shows.
    QString m_shownFolderListKey;
    bool m_oauth = false;
    // Counts the passwords asked of the keyring: only the answer to the last one is shown.
    quint64 m_passwordRequest = 0;
    bool m_trimming = false;
};

} // namespace tessaly
