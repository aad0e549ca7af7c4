#pragma once

#include "app/appcontext.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>

namespace tessaly {

class ArchiveController;
class DesktopNotifier;
class EmailSettings;
class FXKeychain;
class JobHost;
class IndexKeeper;
class MainWindow;
class PreferenceStore;
class RenderTool;
class SettingsView;
class SingleInstance;

// The desktop application: owns the preferences, the job list and its render boxes, and the
// main window with its views; answers the views' requests (destination folder, folder
// choosers, help) and files opened from the desktop.
class TessalyApp final : public QObject, public AppContext {
    Q_OBJECT

public:
    // `runtimeFolder` is the private folder of the render boxes.
    TessalyApp(PreferenceStore& store, FXKeychain& keychain, const QString& runtimeFolder,
               QObject* parent = nullptr);
    ~TessalyApp() override;

    // Shows the window and does what a launch does (the crash-report question, archiving on
    // launch when the user asked for it).
    void launch();
    // Files opened with the application or dropped on it: asks where their archive goes, then
    // archives them once.
    void handleEMLFilesUI(const QStringList& paths);
    // Brings the window to the front (a later launch, a click on a notification).
    void activate(const QString& activationToken = {});
    MainWindow* window() const { return m_window; }
    // Keeps the search index current with the archive.
    IndexKeeper& indexKeeper() { return *m_indexKeeper; }

    PreferenceStore& store() override { return m_store; }
    EmailSettings& accounts() override { return *m_accounts; }
    ArchiveController& archiveController() override { return *m_controller; }
    void startArchivingJob(const QString& source) override;
    QString destinationDirectory(bool allowedToAsk) override;
    void chooseDestinationDirectory() override;
    void chooseFolder(QWidget* parent, const FolderRequest& request,
                      std::function<void(const QString& path)> chosen) override;
    void showPathFormatEditor(const QString& account, QWidget* parent) override;
    void showHelp(const QString& topic, QWidget* parent) override;

private:
    void jobFinished(RenderTool* job);
    void sourceNotStarted(const QString& source, const QString& reason);
    void closeRequested();
    void resetAllPrefsAsk();
    void showAbout();
    void showWarning(const QString& title, const QString& text);
    // Cancels every job and every source still starting.
    void stopAll();
    // Quits, after asking when jobs are archiving.
    void quitAsk();
    // `thenChosen` runs once a destination was chosen and stored.
    void chooseDestinationDirectory(std::function<void()> thenChosen);
    // `ended` runs when the chooser closes, chosen or not.
    void openFolderChooser(QWidget* parent, const FolderRequest& request,
                           std::function<void(const QString& path)> chosen,
                           std::function<void()> ended);

    PreferenceStore& m_store;
    std::unique_ptr<EmailSettings> m_accounts;
    std::unique_ptr<JobHost> m_jobs;
    ArchiveController* m_controller = nullptr; // the host's

    std::unique_ptr<DesktopNotifier> m_notifier;
    std::unique_ptr<IndexKeeper> m_indexKeeper;
    MainWindow* m_window = nullptr;
    SettingsView* m_settings = nullptr;
    bool m_choosingDestination = false;
    QStringList m_filesWaitingForDestination;
    bool m_toldAboutBackground = false;
    bool m_unwritableShown = false;
};

} // namespace tessaly
