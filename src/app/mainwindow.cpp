#include "app/mainwindow.h"

#include "app/appcontext.h"
#include "app/introview.h"
#include "archive/archivecontroller.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolBar>
#include <QUrl>

namespace tessaly {

namespace {} // namespace

MainWindow::MainWindow(AppContext& app, QWidget* archiveView, QWidget* searchView,
                       QWidget* settingsView, QWidget* parent)
    : QMainWindow(parent)
    , m_app(app)
    , m_stack(new QStackedWidget(this))
    , m_archiveView(archiveView)
    , m_searchView(searchView)
    , m_settingsView(settingsView)
    , m_intro(new IntroView(this))
    , m_viewActions(new QActionGroup(this))
    , m_info(new QLabel(this)) {
    setObjectName(prefkeys::mainWindowGeometry);
    setWindowTitle(QStringLiteral("Tessaly"));
    setAcceptDrops(true);
    for (QWidget* view :
         {static_cast<QWidget*>(m_intro), m_archiveView, m_searchView, m_settingsView}) {
        m_stack->addWidget(view);
    }
    setCentralWidget(m_stack);

    auto* toolbar = addToolBar(tr("Views"));
    toolbar->setObjectName(QStringLiteral("ViewsToolbar"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    struct Entry {
        View view;
        QString text;
        QString icon;
        QKeySequence shortcut;
    };
    const Entry entries[] = {
        {View::Archive, tr("Archive"), QStringLiteral("document-save"), QKeySequence(tr("Ctrl+1"))},
        {View::Search, tr("Search"), QStringLiteral("edit-find"), QKeySequence(tr("Ctrl+2"))},
        {View::Settings, tr("Settings"), QStringLiteral("preferences-system"),
         QKeySequence(tr("Ctrl+3"))},
    };
    for (const Entry& entry : entries) {
        QAction* action = toolbar->addAction(QIcon::fromTheme(entry.icon), entry.text);
        action->setCheckable(true);
        action->setShortcut(entry.shortcut);
        action->setToolTip(QStringLiteral("%1 (%2)").arg(
            entry.text, entry.shortcut.toString(QKeySequence::NativeText)));
        action->setData(static_cast<int>(entry.view));
        m_viewActions->addAction(action);
        connect(action, &QAction::triggered, this, [this, view = entry.view] { showView(view); });
    }
    m_viewActions->setExclusive(true);

    m_info->setObjectName(QStringLiteral("infoAreaLabel"));
    m_info->setAccessibleName(tr("Running jobs"));
    statusBar()->addWidget(m_info, 1);

    connect(m_intro, &IntroView::chooseDestinationRequested, this,
            [this] { m_app.chooseDestinationDirectory(); });
    connect(m_intro, &IntroView::addAccountRequested, this, &MainWindow::addAccountRequested);
    connect(m_intro, &IntroView::addFolderRequested, this, &MainWindow::addFolderRequested);
    connect(m_intro, &IntroView::openFilesRequested, this, &MainWindow::chooseFilesToOpen);
    buildMenus();

    const QByteArray geometry =
        QByteArray::fromBase64(m_app.store().stringValue(prefkeys::mainWindowGeometry).toLatin1());
    if (geometry.isEmpty() || !restoreGeometry(geometry)) {
        resize(1000, 680);
    }
    showView(View::Archive);
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* open =
        file->addAction(QIcon::fromTheme(QStringLiteral("document-open")),
                        tr("&Archive Mail Files…"), this, &MainWindow::chooseFilesToOpen);
    open->setShortcut(QKeySequence::Open);
    file->addSeparator();
    QAction* startAll =
        file->addAction(tr("Archive All &Now"), this, &MainWindow::startAllRequested);
    startAll->setShortcut(QKeySequence(tr("Ctrl+R")));
    file->addAction(tr("&Stop All"), this, &MainWindow::stopAllRequested);
    file->addSeparator();
    file->addAction(tr("Reset Preferences…"), this, &MainWindow::resetRequested);
    file->addSeparator();
    QAction* quit = file->addAction(QIcon::fromTheme(QStringLiteral("application-exit")),
                                    tr("&Quit"), this, &MainWindow::quitRequested);
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);

    QMenu* view = menuBar()->addMenu(tr("&View"));
    view->addActions(m_viewActions->actions());

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    QAction* helpAction = help->addAction(tr("Tessaly &Help"), this, &MainWindow::helpRequested);
    helpAction->setShortcut(QKeySequence::HelpContents);
    help->addAction(tr("&About Tessaly"), this, &MainWindow::aboutRequested);
}

void MainWindow::showView(View view) {
    m_view = view;
    for (QAction* action : m_viewActions->actions()) {
        action->setChecked(action->data().toInt() == static_cast<int>(view));
    }
    switch (view) {
    case View::Archive:
        refreshIntroduction();
        break;
    case View::Search:
        m_stack->setCurrentWidget(m_searchView);
        break;
    case View::Settings:
        m_stack->setCurrentWidget(m_settingsView);
        break;
    }
    Q_EMIT viewShown(view);
}

bool MainWindow::showingIntroduction() const {
    return m_stack->currentWidget() == m_intro;
}

void MainWindow::refreshIntroduction() {
    const QString destination = m_app.destinationDirectory(false);
    const bool hasSources = !m_app.archiveController().emailANDFolderAccounts().isEmpty();
    m_intro->setProgress(destination, hasSources);
    if (m_view != View::Archive) {
        return;
    }
    // Jobs always show: files dropped before any source exists still have a view.
    const bool setUp = !destination.isEmpty() && hasSources;
    const bool jobs = !m_app.archiveController().renderJobs().isEmpty();
    const bool rows = m_archiveHasRows && m_archiveHasRows();
    m_stack->setCurrentWidget(setUp || jobs || rows ? m_archiveView
                                                    : static_cast<QWidget*>(m_intro));
}

void MainWindow::setInfoText(const QString& text) {
    m_info->setText(text);
}

MainWindow::~MainWindow() {
    // Quitting from the menu or the launcher closes no window: the frame is kept here too.
    saveFrame();
}

void MainWindow::saveFrame() {
    m_app.store().setValue(prefkeys::mainWindowGeometry,
                           QString::fromLatin1(saveGeometry().toBase64()));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    saveFrame();
    // The application decides: it may hide the window and go on, or quit.
    event->ignore();
    Q_EMIT closeRequested();
}

QStringList MainWindow::localFiles(const QMimeData* data) {
    QStringList paths;
    if (data == nullptr || !data->hasUrls()) {
        return paths;
    }
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile()) {
            paths.append(url.toLocalFile());
        }
    }
    return paths;
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!localFiles(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QStringList paths = localFiles(event->mimeData());
    if (paths.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    Q_EMIT openFilesRequested(paths);
}

void MainWindow::chooseFilesToOpen() {
    auto* dialog = new QFileDialog(this, tr("Archive Mail Files"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setNameFilters({tr("Mail files (*.eml *.mbox *.emlx *.mbx)"), tr("All files (*)")});
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QFileDialog::filesSelected, this,
            [this](const QStringList& files) { Q_EMIT openFilesRequested(files); });
    dialog->open();
}

} // namespace tessaly
