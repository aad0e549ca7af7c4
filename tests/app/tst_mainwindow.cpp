// The whole application in this process, as a user drives it: the main window with its real
// views, render boxes, a private Dovecot for the account, and screenshots for review.

#include "app/mainwindow.h"
#include "app/pathformat/custompathcontroller.h"
#include "app/settingsview/settingsview.h"
#include "app/tessalyapp.h"
#include "archive/archivecontroller.h"
#include "dovecotserver.h"
#include "platform/files/runtimefolder.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "screenshots.h"
#include "search/archiveindex.h"
#include "settings/emailsettings.h"
#include "settings/fxkeychain.h"
#include "testappcontext.h"
#include "testsupport.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

using namespace tessaly;
using test::DovecotServer;

namespace {

const QString kUser = QStringLiteral("dan@example.test");

template <typename T> T* findByText(QWidget* root, const QString& text) {
    for (T* widget : root->findChildren<T*>()) {
        if (widget->text() == text && widget->isVisible()) {
            return widget;
        }
    }
    return nullptr;
}

QPushButton* findByAccessibleName(QWidget* root, const QString& name) {
    for (QPushButton* button : root->findChildren<QPushButton*>()) {
        if (button->accessibleName() == name && button->isVisible()) {
            return button;
        }
    }
    return nullptr;
}

int pdfsUnder(const QString& folder) {
    int count = 0;
    QDirIterator it(folder, {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

QByteArray message(int n) {
    return test::crlfMessage("From: Ann <ann@example.com>\nTo: dan@example.test\nSubject: note " +
                             QByteArray::number(n) +
                             "\nDate: Sat, 18 Jan 2014 08:16:20 +0000\nMessage-ID: <note" +
                             QByteArray::number(n) +
                             "@example.com>\nMIME-Version: 1.0\nContent-Type: text/plain\n\n"
                             "A note.\n");
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<DovecotServer> m_server;
    std::unique_ptr<PreferenceStore> m_store;
    std::unique_ptr<FXKeychain> m_keychain;
    std::unique_ptr<TessalyApp> m_app;

    MainWindow* window() const { return m_app->window(); }
    QWidget* current() const { return window()->findChild<QStackedWidget*>()->currentWidget(); }
    SettingsView* settings() const { return window()->findChild<SettingsView*>(); }
    template <typename T> T* child(const char* name) const {
        T* found = window()->findChild<T*>(QString::fromLatin1(name));
        if (found == nullptr) {
            qFatal("no %s", name);
        }
        return found;
    }
    // Every folder chooser of the application answers with this folder.
    static void chooserAnswers(const QString& folder) {
        qputenv("TESSALY_TEST_FOLDER_CHOICE", folder.toUtf8());
    }
    void chooseListRow(const QString& name) {
        auto* list = settings()->findChild<QListView*>();
        QAbstractItemModel* model = list->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            if (model->index(row, 0).data().toString() == name) {
                const QRect rect = list->visualRect(model->index(row, 0));
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
                return;
            }
        }
        QFAIL(qPrintable("no row " + name));
    }

private Q_SLOTS:
    void initTestCase() {
        QString error;
        DovecotServer::Options options;
        options.users = {kUser};
        m_server = DovecotServer::start(options, &error);
        QVERIFY2(m_server, qPrintable(error));
        QList<QByteArray> messages;
        for (int i = 0; i < 3; ++i) {
            messages.append(message(i));
        }
        QVERIFY2(m_server->addMessages(kUser, "INBOX", messages, &error), qPrintable(error));

        qputenv("XDG_RUNTIME_DIR", m_dir.filePath("run").toUtf8());
        // The search index goes with the test, not into the home folder.
        qputenv("XDG_DATA_HOME", m_dir.filePath("data").toUtf8());
        qputenv("XDG_CACHE_HOME", m_dir.filePath("cache").toUtf8());
        QDir().mkpath(m_dir.filePath("run"));
        QFile::setPermissions(m_dir.filePath("run"), QFileDevice::ReadOwner |
                                                         QFileDevice::WriteOwner |
                                                         QFileDevice::ExeOwner);
        const QString runtime = privateRuntimeFolder(&error);
        QVERIFY2(!runtime.isEmpty(), qPrintable(error));
        m_store = std::make_unique<PreferenceStore>(m_dir.filePath("Tessaly.conf"));
        m_store->registerStandardDefaults();
        // The crash-report question is another test's business.
        m_store->setValue(prefkeys::crashReportsAsked, true);
        m_keychain = std::make_unique<FXKeychain>(std::make_shared<test::MemoryKeychain>(),
                                                  "org.tessaly.Tessaly.test");
        m_app = std::make_unique<TessalyApp>(*m_store, *m_keychain, runtime);
        m_app->launch();
        QVERIFY(QTest::qWaitForWindowExposed(window()));
    }

    void cleanupTestCase() {
        m_app.reset();
        qunsetenv("TESSALY_TEST_FOLDER_CHOICE");
    }

    // A new user sees what to do first; every step is a button of the introduction.
    void aNewUserIsToldWhatToDoFirst() {
        QCOMPARE(window()->currentView(), MainWindow::View::Archive);
        QVERIFY(window()->showingIntroduction());
        QVERIFY(findByText<QPushButton>(window(), "Choose Destination Folder…"));
        test::saveScreenshots(window(), "main-window-first-run");
    }

    // Files dropped before there is a destination wait for it, however many drops come while
    // it is chosen; what failed stays in sight, although the introduction would otherwise be
    // back once the job is gone.
    void droppedFilesWaitForTheDestinationAndFailuresStayInSight() {
        const QString destination = m_dir.filePath("Archive");
        QDir().mkpath(destination);
        chooserAnswers(destination);
        const QString good = m_dir.filePath("dropped/good.eml");
        test::writeFile(good, message(100));
        const QString dangling = m_dir.filePath("dropped/gone.eml");
        QVERIFY(QFile::link(m_dir.filePath("nowhere/gone.eml"), dangling));
        m_app->handleEMLFilesUI({good});
        m_app->handleEMLFilesUI({dangling});
        QTRY_COMPARE(m_store->destinationFolder(), destination);
        QTRY_VERIFY_WITH_TIMEOUT(findByText<QPushButton>(window(), "Open Error Report"), 120000);
        QTRY_VERIFY_WITH_TIMEOUT(m_app->archiveController().renderJobs().isEmpty(), 120000);
        QCOMPARE(pdfsUnder(destination), 1);
        QVERIFY(!window()->showingIntroduction());
        QVERIFY(findByText<QPushButton>(window(), "Open Error Report")->isVisible());

        // Once dismissed, nothing is left to show: the introduction is back, its first step
        // done.
        QPushButton* dismiss = nullptr;
        QTRY_VERIFY((dismiss = findByAccessibleName(
                         window(), "Dismiss " + QStringLiteral("2 EML files to Archive"))) !=
                    nullptr);
        dismiss->click();
        QTRY_VERIFY(window()->showingIntroduction());
        QVERIFY(findByText<QPushButton>(window(), "Change Destination Folder…"));
    }

    void theToolbarSwitchesViews() {
        QTest::keyClick(window(), Qt::Key_3, Qt::ControlModifier);
        QCOMPARE(window()->currentView(), MainWindow::View::Settings);
        QCOMPARE(current(), static_cast<QWidget*>(settings()));
        QTest::keyClick(window(), Qt::Key_2, Qt::ControlModifier);
        QCOMPARE(window()->currentView(), MainWindow::View::Search);
        QVERIFY(current()->inherits("tessaly::SearchView"));
        bool subjectField = false;
        for (QLineEdit* field : current()->findChildren<QLineEdit*>()) {
            subjectField = subjectField || field->placeholderText() == "Subject";
        }
        QVERIFY(subjectField);
        QTest::keyClick(window(), Qt::Key_1, Qt::ControlModifier);
        QCOMPARE(window()->currentView(), MainWindow::View::Archive);
        // Exactly one view action is checked, the shown one.
        QStringList checked;
        for (QAction* action : window()->findChildren<QAction*>()) {
            if (QStringList{"Archive", "Search", "Settings"}.contains(action->text()) &&
                action->isChecked()) {
                checked.append(action->text());
            }
        }
        QCOMPARE(checked, QStringList{"Archive"});
    }

    void aFolderSourceIsAddedFromTheIntroduction() {
        const QString mail = m_dir.filePath("Mail Export");
        for (const QString& name : QDir(TESSALY_TEST_DATA_DIR).entryList({"*.eml"})) {
            QVERIFY(QFile::copy(QString(TESSALY_TEST_DATA_DIR) + "/" + name, mail + "/" + name) ||
                    (QDir().mkpath(mail) &&
                     QFile::copy(QString(TESSALY_TEST_DATA_DIR) + "/" + name, mail + "/" + name)));
        }
        chooserAnswers(mail);
        findByText<QPushButton>(window(), "Add Folder of Mail Files…")->click();
        QTRY_COMPARE(m_store->stringListValue("FolderItems"), QStringList{mail});
        QCOMPARE(window()->currentView(), MainWindow::View::Settings);
        QTRY_VERIFY(findByText<QPushButton>(window(), "Remove Folder"));
        test::saveScreenshots(window(), "main-window-settings-folder-source");
    }

    void anAccountIsAddedAndAWrongPasswordShowsTheServersError() {
        chooseListRow("Add Account");
        QLineEdit* address = child<QLineEdit>("emailAddress");
        QTRY_VERIFY(address->isVisible());
        address->setText(kUser);
        child<QLineEdit>("password")->setText(m_server->password());
        child<QLineEdit>("imapConfig")
            ->setText(QStringLiteral("127.0.0.1:%1:clear").arg(m_server->imapPort()));
        child<QPushButton>("saveButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(m_app->accounts().hasAccount(kUser), 30000);
        QTreeView* folders = child<QTreeView>("emailFoldersTable");
        QTRY_VERIFY(folders->model()->rowCount() >= 1);
        // The list shows the new account and keeps it selected.
        QTRY_VERIFY(findByText<QPushButton>(window(), "Save"));
        test::saveScreenshots(window(), "main-window-settings-account");

        child<QLineEdit>("password")->setText("not-the-password");
        child<QPushButton>("saveButton")->click();
        QLabel* error = child<QLabel>("emailError");
        QTRY_VERIFY_WITH_TIMEOUT(error->isVisible() && !error->text().isEmpty(), 30000);
        QVERIFY2(error->text().contains("Authentication failed"), qPrintable(error->text()));
        // The stored password is still the one that worked.
        QCOMPARE(m_app->accounts().password(kUser).value_or(QString()), m_server->password());
    }

    void theFormatEditorShowsExamplesAsTheFormatChanges() {
        chooseListRow("Settings");
        QPushButton* names = nullptr;
        QTRY_VERIFY((names = findByText<QPushButton>(window(), "File Names…")) != nullptr);
        names->click();
        CustomPathController* editor = nullptr;
        QTRY_VERIFY((editor = window()->findChild<CustomPathController*>()) != nullptr);
        QTRY_VERIFY(editor->isVisible());
        QCOMPARE(editor->windowModality(), Qt::WindowModal);
        QComboBox* pdf = editor->formatBox(0);
        QLabel* example = editor->exampleLabel(0);
        const QString before = example->text();
        pdf->setFocus();
        pdf->lineEdit()->selectAll();
        QTest::keyClicks(pdf->lineEdit(), "-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__.pdf");
        QVERIFY(example->text() != before);
        QVERIFY2(example->text().contains("2014/2014-01-18 04.16.20  Typical Email Subject.pdf"),
                 qPrintable(example->text()));
        test::saveScreenshots(window(), "main-window-path-format-editor");
        QTest::keyClick(editor, Qt::Key_Escape);
        QTRY_VERIFY(window()->findChild<CustomPathController*>() == nullptr);
    }

    void aJobRunsWithProgressAndIsStopped() {
        window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window()));
        // A search typed before anything is archived: it finds nothing yet, and stays open.
        QTest::keyClick(window(), Qt::Key_2, Qt::ControlModifier);
        QLineEdit* subject = nullptr;
        for (QLineEdit* field : current()->findChildren<QLineEdit*>()) {
            subject = field->placeholderText() == "Subject" ? field : subject;
        }
        QVERIFY(subject);
        QTest::keyClicks(subject, "testing");
        QListView* grid = current()->findChild<QListView*>();
        QVERIFY(grid);
        QLabel* count = nullptr;
        for (QLabel* label : current()->findChildren<QLabel*>()) {
            count = label->accessibleName() == "Result Count" ? label : count;
        }
        QVERIFY(count);
        QTRY_COMPARE_WITH_TIMEOUT(count->text(), "0 files (done)", 20000);
        QTest::keyClick(window(), Qt::Key_1, Qt::ControlModifier);
        QCOMPARE(window()->currentView(), MainWindow::View::Archive);
        QTRY_VERIFY(!window()->showingIntroduction());
        const QString mail = m_store->stringListValue("FolderItems").value(0);
        QPushButton* start = nullptr;
        QTRY_VERIFY((start = findByAccessibleName(window(), "Start archiving " + mail)) != nullptr);
        QCOMPARE(current()->findChild<QLabel*>("message") != nullptr, true);
        start->click();
        auto progressShown = [this] {
            for (QProgressBar* bar : current()->findChildren<QProgressBar*>("progress")) {
                if (bar->isVisible()) {
                    return true;
                }
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(progressShown(), 30000);
        test::saveScreenshots(window(), "main-window-archiving");
        const QString destination = m_store->destinationFolder();
        QTRY_VERIFY_WITH_TIMEOUT(m_app->archiveController().renderJobs().isEmpty(), 300000);
        QVERIFY(pdfsUnder(destination) >= 1);
        bool lastArchived = false;
        for (QLabel* label : window()->findChildren<QLabel*>("message")) {
            lastArchived = lastArchived || label->text().startsWith("Last Archived: ");
        }
        QTRY_VERIFY(lastArchived);
        // What the job archived becomes searchable without anyone asking.
        const QString folder = destination + "/Mail Export";
        auto indexedPdfs = [this, &folder] {
            QString error;
            auto index = ArchiveIndex::open(m_dir.filePath("data/tessaly/index.sqlite"), &error);
            std::vector<SqliteDatabase::Row> rows;
            if (!index || !index->query("SELECT count(*) FROM files WHERE path LIKE '%.pdf' AND "
                                        "substr(path, 1, length(?1)) = ?1",
                                        {folder + "/"}, &rows)) {
                return -1;
            }
            return rows.front().front().toInt();
        };
        QTRY_COMPARE_WITH_TIMEOUT(indexedPdfs(), pdfsUnder(folder), 60000);

        // The open search found what was archived without being run again by anyone.
        QTRY_VERIFY_WITH_TIMEOUT(grid->model()->rowCount() >= 1, 20000);
        QVERIFY(grid->model()->index(0, 0).data().toString().contains("testing"));
        window()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window()));
        QTest::keyClick(window(), Qt::Key_2, Qt::ControlModifier);
        QCOMPARE(subject->text(), "testing");
        test::saveScreenshots(window(), "main-window-search");
        QTest::keyClick(window(), Qt::Key_1, Qt::ControlModifier);

        // The account's job: started, seen running, stopped; nothing stays listed.
        QPushButton* account = findByAccessibleName(window(), "Start archiving " + kUser);
        QVERIFY(account);
        account->click();
        QTRY_VERIFY_WITH_TIMEOUT(findByAccessibleName(window(), "Stop archiving " + kUser), 30000);
        findByAccessibleName(window(), "Stop archiving " + kUser)->click();
        QTRY_VERIFY_WITH_TIMEOUT(m_app->archiveController().renderJobs().isEmpty(), 60000);
        QTRY_VERIFY(findByAccessibleName(window(), "Start archiving " + kUser));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
