#pragma once

#include <QMainWindow>

#include <functional>

class QActionGroup;
class QLabel;
class QMimeData;
class QStackedWidget;

namespace tessaly {

class AppContext;
class IntroView;

// The application's window: the archive, search and settings views, one at a time, switched
// from the toolbar; a status line for running jobs; and, while there is nowhere to archive to
// or nothing to archive, an introduction in place of the archive view. Closing it hides it
// while there is work or a schedule to keep; the application then goes on in the background.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    enum class View { Archive, Search, Settings };

    // Takes ownership of the three views.
    MainWindow(AppContext& app, QWidget* archiveView, QWidget* searchView, QWidget* settingsView,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    void showView(View view);
    View currentView() const { return m_view; }
    // The introduction is showing in place of the archive view.
    bool showingIntroduction() const;
    // Re-checks whether a destination and a source exist (after preference changes).
    void refreshIntroduction();
    // Tells whether the archive view has rows to show: then it replaces the introduction even
    // before anything is set up (what a job of dropped files left must stay in sight).
    void setArchiveHasRows(std::function<bool()> hasRows) { m_archiveHasRows = std::move(hasRows); }

public Q_SLOTS:
    void setInfoText(const QString& text);

Q_SIGNALS:
    void startAllRequested();
    void quitRequested();
    // A view was brought to the front (the search view looks again then).
    void viewShown(tessaly::MainWindow::View view);
    void stopAllRequested();
    void openFilesRequested(const QStringList& paths);
    void resetRequested();
    void helpRequested();
    void aboutRequested();
    // The user closed the window: the application decides whether to go on without it.
    void closeRequested();
    // The introduction's buttons.
    void addAccountRequested();
    void addFolderRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildMenus();
    void saveFrame();
    void chooseFilesToOpen();
    static QStringList localFiles(const QMimeData* data);

    AppContext& m_app;
    QStackedWidget* m_stack;
    QWidget* m_archiveView;
    QWidget* m_searchView;
    QWidget* m_settingsView;
    IntroView* m_intro;
    QActionGroup* m_viewActions;
    QLabel* m_info;
    View m_view = View::Archive;
    std::function<bool()> m_archiveHasRows;
};

} // namespace tessaly
