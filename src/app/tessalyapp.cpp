#include "app/tessalyapp.h"

#include "app/accountpanel/emailsettingspanel.h"
#include "app/archiveview/archiveview.h"
#include "app/crashreporter.h"
#include "app/crashreportquestion.h"
#include "app/jobhost.h"
#include "app/mainwindow.h"
#include "app/pathformat/custompathcontroller.h"
#include "app/searchview/searchview.h"
#include "app/settingsview/settingsview.h"
#include "archive/archivecontroller.h"
#include "archive/job/jobsummary.h"
#include "archive/job/rendertool.h"
#include "platform/bus/desktopnotifier.h"
#include "platform/bus/notificationcenter.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"
#include "renderbox/remoterender.h"
#include "search/archiveindex.h"
#include "search/indexfeed.h"
#include "search/indexkeeper.h"
#include "search/searchscopes.h"
#include "search/searchsession.h"
#include "settings/emailsettings.h"
#include "settings/fxkeychain.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace tessaly {

Q_LOGGING_CATEGORY(lcApp, "tessaly.app")

namespace {

constexpr int kStartOnLaunchDelayMs = 3000;

// Answers every folder chooser with this folder, without showing one: for runs of the real
// application under test, where no one can click.
QString automatedFolderChoice() {
    return qEnvironmentVariable("TESSALY_TEST_FOLDER_CHOICE");
}

QString helpText(const QString& topic) {
    if (topic == QStringLiteral("imap")) {
        return QObject::tr(
            "<p>The server is written as <b>host</b>, <b>host:port</b> or "
            "<b>host:port:security</b>.</p><p>Without a port, 993 is used. The security word "
            "is <b>tls</b> (the default, encrypted from the start), <b>starttls</b> (usually "
            "with port 143) or <b>clear</b> (no encryption: only for servers on this "
            "computer).</p><p>For example: <tt>imap.example.org</tt>, "
            "<tt>mail.example.org:143:starttls</tt>.</p>");
    }
    if (topic == QStringLiteral("password")) {
        return QObject::tr(
            "<p>Tessaly keeps the password in your desktop's keyring, never in its settings "
            "file.</p><p>Providers that use two-step sign-in (Gmail, Outlook, iCloud, Yahoo "
            "and others) need an <b>app password</b> made for Tessaly in your account's "
            "security settings; your normal password is refused.</p>");
    }
    if (topic == QStringLiteral("folder")) {
        return QObject::tr(
            "<p>A folder source is a folder of <b>.eml</b> files, <b>.mbox</b> mailboxes or a "
            "mail client's <b>.emlx</b> folders, and the folders inside it.</p><p>Tessaly "
            "reads it on every run and archives only messages it has not archived before. "
            "Tessaly needs permission to read the folder; it never changes or deletes "
            "anything in it.</p>");
    }
    return QObject::tr(
        "<p>Tessaly makes a PDF of every message, in the destination folder, with the "
        "attachments and optionally an .eml copy beside it.</p><p>Add IMAP accounts and "
        "folders of mail files in <b>Settings</b>; the <b>Archive</b> view shows their jobs. "
        "Drop .eml or .mbox files on the window to archive them once.</p><p>Without a "
        "display, <tt>tessaly-cli</tt> does the same (see <tt>tessaly-cli --help</tt>).</p>");
}

} // namespace

TessalyApp::TessalyApp(PreferenceStore& store, FXKeychain& keychain, const QString& runtimeFolder,
                       QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_accounts(std::make_unique<EmailSettings>(store, keychain)) {
    NotificationCenter* center = NotificationCenter::distributed();
    QString boxProgram = RemoteRender::defaultBoxProgram();
    if (boxProgram.isEmpty()) {
        boxProgram = QCoreApplication::applicationFilePath();
    }
    m_jobs = std::make_unique<JobHost>(
        m_store, JobHost::Setup{center, runtimeFolder, boxProgram, ArchiveIndex::defaultPath()},
        [this] { return m_store.destinationFolder(); });
    m_controller = &m_jobs->controller();
    m_controller->setAccounts(m_accounts.get());
    m_indexKeeper = std::make_unique<IndexKeeper>(ArchiveIndex::defaultPath());
    // What jobs archive is searchable at once; the crawl after each job catches the rest.
    connect(&m_jobs->index(), &IndexFeed::indexed, m_indexKeeper.get(), &IndexKeeper::indexChanged);
    m_notifier = std::make_unique<DesktopNotifier>(QStringLiteral("Tessaly"),
                                                   QStringLiteral("org.tessaly.Tessaly"));
    connect(m_notifier.get(), &DesktopNotifier::clicked, this, [this](const QString& token) {
        activate(token);
        m_window->showView(MainWindow::View::Archive);
    });
    connect(m_notifier.get(), &DesktopNotifier::failed, this, [](const QString& reason) {
        qCInfo(lcApp).noquote() << "desktop notification not shown:" << reason;
    });
    connect(m_controller, &ArchiveController::jobFinished, this, &TessalyApp::jobFinished);
    connect(m_controller, &ArchiveController::sourceNotStarted, this,
            &TessalyApp::sourceNotStarted);
    connect(m_controller, &ArchiveController::unwritablePath, this,
            [this](const QString& path, const QString& error) {
                if (m_unwritableShown) {
                    return;
                }
                m_unwritableShown = true;
                auto* box = new QMessageBox(
                    QMessageBox::Warning, tr("PDF failed to write"),
                    tr("The path %1 failed to write.\n\nThe error was %2").arg(path, error),
                    QMessageBox::Ok, m_window);
                box->setAttribute(Qt::WA_DeleteOnClose);
                box->setWindowModality(Qt::WindowModal);
                box->open();
            });

    auto* archiveView = new ArchiveView(*this);
    auto* accountPanel = new EmailSettingsPanel(*this);
    m_settings = new SettingsView(*this, accountPanel);
    auto* searchView = new SearchView(*this, ArchiveIndex::defaultPath());
    m_window = new MainWindow(*this, archiveView, searchView, m_settings);
    m_window->setAttribute(Qt::WA_DeleteOnClose, false);
    connect(archiveView, &ArchiveView::statusLineChanged, m_window, &MainWindow::setInfoText);
    m_window->setArchiveHasRows([archiveView] { return archiveView->hasRows(); });
    connect(archiveView, &ArchiveView::rowsChanged, m_window, &MainWindow::refreshIntroduction);
    connect(m_window, &MainWindow::quitRequested, this, &TessalyApp::quitAsk);
    // The search looks again whenever it is shown, and follows what the crawls bring in.
    connect(m_window, &MainWindow::viewShown, this, [this, searchView](MainWindow::View view) {
        if (view == MainWindow::View::Search) {
            m_indexKeeper->refresh(SearchScopes::topPathsJustPaths(m_store));
            searchView->viewIsAppearring();
        }
    });
    connect(m_indexKeeper.get(), &IndexKeeper::indexChanged, &searchView->session(),
            &SearchSession::indexChanged);
    connect(m_window, &MainWindow::startAllRequested, this, [this] {
        if (destinationDirectory(true).isEmpty()) {
            return;
        }
        m_controller->startArchiving();
    });
    connect(m_window, &MainWindow::stopAllRequested, this, &TessalyApp::stopAll);
    connect(m_window, &MainWindow::openFilesRequested, this, &TessalyApp::handleEMLFilesUI);
    connect(m_window, &MainWindow::resetRequested, this, &TessalyApp::resetAllPrefsAsk);
    connect(m_window, &MainWindow::helpRequested, this,
            [this] { showHelp(QStringLiteral("general"), m_window); });
    connect(m_window, &MainWindow::aboutRequested, this, &TessalyApp::showAbout);
    connect(m_window, &MainWindow::closeRequested, this, &TessalyApp::closeRequested);
    connect(m_window, &MainWindow::addAccountRequested, this, [this] {
        m_window->showView(MainWindow::View::Settings);
        m_settings->addEmailAccountUI();
    });
    connect(m_window, &MainWindow::addFolderRequested, this, [this] {
        m_window->showView(MainWindow::View::Settings);
        m_settings->addFolderItemFromHomeDir();
    });
    // The introduction follows the settings, and the archive view replaces it once a job
    // exists.
    auto* watcher = new PreferenceWatcher(&m_store, 200, this);
    connect(watcher, &PreferenceWatcher::settled, m_window, &MainWindow::refreshIntroduction);
    // Crash-report consent given or taken back in the settings (or by a reset) applies now.
    connect(watcher, &PreferenceWatcher::settled, this, [this](const QStringList& keys) {
        if (!keys.contains(prefkeys::crashReportsAllowed)) {
            return;
        }
        if (!m_store.boolValue(prefkeys::crashReportsAllowed)) {
            CrashReporter::withdraw();
            return;
        }
        QString error;
        if (!CrashReporter::install({CrashReporter::defaultFolder(),
                                     QCoreApplication::applicationVersion(),
                                     CrashReporter::Role::Application},
                                    &error)) {
            qCWarning(lcApp).noquote() << "crash reports cannot be written:" << error;
        }
    });
    connect(m_controller, &ArchiveController::jobListChanged, m_window,
            &MainWindow::refreshIntroduction);
}

TessalyApp::~TessalyApp() {
    // Jobs are cancelled, not just dropped: a cancelled job writes what failed so far into its
    // error report and keeps what is unfinished for the next run.
    stopAll();
    // Jobs end before the boxes they render in, and the window before the job list it shows.
    delete m_window;
    m_controller = nullptr;
    m_jobs.reset();
}

void TessalyApp::launch() {
    // Scheduled runs of every source, every hoursBetweenUpdates.
    m_controller->scheduler().startAutoJobTimer();
    // The archive may have changed while Tessaly was not running (another computer, the
    // command line, files deleted by hand).
    m_indexKeeper->refresh(SearchScopes::topPathsJustPaths(m_store));
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    if (shouldAskAboutCrashReports(m_store, false)) {
        showCrashReportQuestion(m_window, m_store,
                                {CrashReporter::defaultFolder(),
                                 QCoreApplication::applicationVersion(),
                                 CrashReporter::Role::Application});
    }
    if (m_store.boolValue(prefkeys::startArchivingOnLaunch)) {
        QTimer::singleShot(kStartOnLaunchDelayMs, this, [this] { m_controller->startArchiving(); });
    }
}

void TessalyApp::activate(const QString& activationToken) {
    // On Wayland only a token handed on from what the user clicked lets the window come to
    // the front; the platform plugin takes it from the environment when asked to activate.
    if (!activationToken.isEmpty()) {
        qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
    }
    m_window->show();
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->raise();
    m_window->activateWindow();
}

void TessalyApp::startArchivingJob(const QString& source) {
    if (destinationDirectory(true).isEmpty()) {
        return; // the chooser is showing; the user starts again once a folder is chosen
    }
    m_controller->startArchiving(source);
}

QString TessalyApp::destinationDirectory(bool allowedToAsk) {
    const QString folder = m_store.destinationFolder();
    if (folder.isEmpty() && allowedToAsk) {
        chooseDestinationDirectory();
    }
    return folder;
}

void TessalyApp::chooseDestinationDirectory() {
    chooseDestinationDirectory({});
}

void TessalyApp::chooseDestinationDirectory(std::function<void()> thenChosen) {
    if (m_choosingDestination) {
        return;
    }
    m_choosingDestination = true;
    qCInfo(lcApp) << "paused";
    FolderRequest request;
    request.title = tr("Choose");
    request.startFolder = m_store.destinationFolder();
    openFolderChooser(
        m_window, request,
        [this, thenChosen = std::move(thenChosen)](const QString& path) {
            m_store.setDestinationFolder(path);
            if (thenChosen && !m_store.destinationFolder().isEmpty()) {
                thenChosen();
            }
        },
        [this] {
            m_choosingDestination = false;
            // Files dropped for a destination that was not chosen are not archived.
            m_filesWaitingForDestination.clear();
        });
}

void TessalyApp::chooseFolder(QWidget* parent, const FolderRequest& request,
                              std::function<void(const QString& path)> chosen) {
    openFolderChooser(parent, request, std::move(chosen), {});
}

void TessalyApp::openFolderChooser(QWidget* parent, const FolderRequest& request,
                                   std::function<void(const QString& path)> chosen,
                                   std::function<void()> ended) {
    const QString automated = automatedFolderChoice();
    if (!automated.isEmpty()) {
        QTimer::singleShot(0, this,
                           [automated, chosen = std::move(chosen), ended = std::move(ended)] {
                               chosen(automated);
                               if (ended) {
                                   ended();
                               }
                           });
        return;
    }
    auto* dialog = new QFileDialog(parent, request.title);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setLabelText(QFileDialog::Accept, tr("Choose"));
    dialog->setDirectory(request.startFolder.isEmpty() ? QDir::homePath() : request.startFolder);
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QFileDialog::fileSelected, this,
            [chosen = std::move(chosen)](const QString& path) {
                if (!path.isEmpty()) {
                    chosen(QFileInfo(path).absoluteFilePath());
                }
            });
    if (ended) {
        connect(dialog, &QFileDialog::finished, this, [ended = std::move(ended)] { ended(); });
    }
    dialog->open();
}

void TessalyApp::showPathFormatEditor(const QString& account, QWidget* parent) {
    CustomPathController::showCustomPathControllerForAccount(m_store, account,
                                                             parent ? parent : m_window);
}

void TessalyApp::showHelp(const QString& topic, QWidget* parent) {
    auto* box = new QMessageBox(QMessageBox::Information, tr("Tessaly Help"), helpText(topic),
                                QMessageBox::Ok, parent ? parent : m_window);
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

void TessalyApp::handleEMLFilesUI(const QStringList& paths) {
    if (paths.isEmpty()) {
        return;
    }
    activate();
    // Error reports and the job's bookkeeping need the general destination: a new user who
    // drops files first chooses it first, then where these files go. Files that arrive while
    // that chooser is open wait with the first ones.
    if (m_store.destinationFolder().isEmpty()) {
        m_filesWaitingForDestination.append(paths);
        chooseDestinationDirectory([this] {
            const QStringList waiting = std::exchange(m_filesWaitingForDestination, {});
            handleEMLFilesUI(waiting);
        });
        return;
    }
    const FolderLookup general = URLBookmarkInPrefs::lookup(m_store, prefkeys::destBookmarkURL);
    if (general.isSet() && !general.reachable) {
        showWarning(tr("Cannot archive these files"),
                    tr("The destination folder %1 is not reachable (is its drive mounted?). "
                       "Connect it, or choose another destination in Settings.")
                        .arg(general.path));
        return;
    }
    FolderRequest request;
    request.title = tr("Choose where to archive %n file(s)", nullptr, int(paths.size()));
    request.startFolder = m_store.stringValue(prefkeys::draggedFilesDestination);
    if (request.startFolder.isEmpty() || !QFileInfo(request.startFolder).isDir()) {
        request.startFolder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    }
    chooseFolder(m_window, request, [this, paths](const QString& folder) {
        m_store.setValue(prefkeys::draggedFilesDestination, folder);
        QString why;
        if (m_controller->startEMLJob(paths, folder, {}, {}, &why) == nullptr) {
            showWarning(tr("Cannot archive these files"), why);
            return;
        }
        m_window->showView(MainWindow::View::Archive);
    });
}

void TessalyApp::showWarning(const QString& title, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, m_window);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

void TessalyApp::stopAll() {
    // Sources whose password command still runs have no job yet: stopping them by name ends
    // the command, so no job appears after Stop All.
    QStringList names = m_controller->emailANDFolderAccounts();
    for (const RenderTool* job : m_controller->renderJobs()) {
        names.append(job->jobName());
    }
    names.removeDuplicates();
    for (const QString& name : std::as_const(names)) {
        // One-off jobs may share a name: stop until none of that name is left.
        for (int guard = 0; guard < 1000; ++guard) {
            const bool listed = m_controller->renderToolForjobName(name) != nullptr;
            m_controller->stopArchiving(name);
            if (!listed) {
                break;
            }
        }
    }
}

void TessalyApp::quitAsk() {
    int running = 0;
    for (const RenderTool* job : m_controller->renderJobs()) {
        running += job->waiting() ? 0 : 1;
    }
    if (running == 0) {
        QCoreApplication::quit();
        return;
    }
    auto* box = new QMessageBox(
        QMessageBox::Question, tr("Quit Tessaly?"),
        tr("%n job(s) are archiving. Quitting stops them; what is not archived yet is archived "
           "on the next run.",
           nullptr, running),
        QMessageBox::NoButton, m_window);
    box->addButton(tr("Quit"), QMessageBox::AcceptRole);
    QPushButton* keep = box->addButton(tr("Keep Archiving"), QMessageBox::RejectRole);
    box->setDefaultButton(keep);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::buttonClicked, this, [keep](QAbstractButton* button) {
        if (button != keep) {
            QCoreApplication::quit();
        }
    });
    box->open();
}

void TessalyApp::jobFinished(RenderTool* job) {
    // What the job archived becomes searchable.
    m_indexKeeper->refresh(SearchScopes::topPathsJustPaths(m_store));
    // A dialog of our own having the focus still counts as being looked at.
    if (QGuiApplication::applicationState() == Qt::ApplicationActive && m_window->isVisible()) {
        return;
    }
    const JobSummary summary = JobSummary::of(*job);
    QString line;
    QTextStream out(&line);
    summary.print(out, false, false);
    out.flush();
    const QString title = summary.archivedAll()
                              ? tr("Archived %1").arg(job->jobName())
                              : tr("%1: some messages were not archived").arg(job->jobName());
    m_notifier->notify(title, line.trimmed());
}

void TessalyApp::sourceNotStarted(const QString& source, const QString& reason) {
    qCInfo(lcApp).noquote() << source << "not started:" << reason;
    if (m_store.destinationFolder().isEmpty()) {
        chooseDestinationDirectory();
    }
}

void TessalyApp::closeRequested() {
    const bool busy = !m_controller->renderJobs().isEmpty();
    const bool scheduled = !m_controller->emailANDFolderAccounts().isEmpty();
    if (!busy && !scheduled) {
        QCoreApplication::quit();
        return;
    }
    // Jobs and scheduled runs go on without the window; launching Tessaly again shows it.
    m_window->hide();
    if (!m_toldAboutBackground) {
        m_toldAboutBackground = true;
        m_notifier->notify(tr("Tessaly keeps running"),
                           busy ? tr("Archiving goes on in the background. Open Tessaly again "
                                     "to see it, or quit it from its File menu.")
                                : tr("Scheduled archiving goes on in the background. Open "
                                     "Tessaly again to see it, or quit it from its File menu."));
    }
}

void TessalyApp::resetAllPrefsAsk() {
    auto* box = new QMessageBox(QMessageBox::Warning, tr("Reset Tessaly?"),
                                tr("Removing all preferences will reset Tessaly, but will not "
                                   "erase any PDFs"),
                                QMessageBox::Ok | QMessageBox::Cancel, m_window);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this, [this](int result) {
        if (result == QMessageBox::Ok) {
            m_store.removeAll();
        }
    });
    box->open();
}

void TessalyApp::showAbout() {
    auto* box = new QMessageBox(QMessageBox::NoIcon, tr("About Tessaly"),
                                tr("<h3>Tessaly %1</h3><p>Archives e-mail as PDF files, with "
                                   "their attachments and metadata.</p>")
                                    .arg(QCoreApplication::applicationVersion()),
                                QMessageBox::Ok, m_window);
    box->setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

} // namespace tessaly
