#pragma once

#include <QWidget>

class QStackedWidget;

namespace tessaly {

class AccountPanel;
class AppContext;
class FolderSettingsPanel;
class GeneralSettingsPanel;
class SettingsSourceList;

// The settings window's content: the list of everything the user configures on the left, and
// on the right the panel of the chosen entry (general settings, an account, a folder source).
class SettingsView : public QWidget {
    Q_OBJECT

public:
    // Takes ownership of the account panel.
    SettingsView(AppContext& app, AccountPanel* accountPanel, QWidget* parent = nullptr);

    // Starts adding an account (the introduction's button).
    void addEmailAccountUI();
    // Starts adding a folder source, choosing it from the home folder.
    void addFolderItemFromHomeDir();
    void showGeneralSettings();

    SettingsSourceList* sourceList() const { return m_list; }
    GeneralSettingsPanel* generalPanel() const { return m_general; }
    AccountPanel* accountPanel() const { return m_account; }
    FolderSettingsPanel* folderPanel() const { return m_folder; }
    // The panel on the right, or nullptr before anything was chosen.
    QWidget* currentPanel() const;

private:
    void addEmailAccount();
    void addFolderItemFromPath(const QString& startFolder);
    void switchViewToEmailEdit(const QString& address);
    void switchViewToFolderEdit(const QString& path);
    // After the shown source went away: the row above is chosen, a little later.
    void selectRowAboveLater();

    AppContext& m_app;
    SettingsSourceList* m_list;
    QStackedWidget* m_panels;
    QWidget* m_nothing;
    GeneralSettingsPanel* m_general;
    AccountPanel* m_account;
    FolderSettingsPanel* m_folder;
};

} // namespace tessaly
