#include "app/settingsview/accountpanel.h"
#include "app/settingsview/foldersettingspanel.h"
#include "app/settingsview/generalsettingspanel.h"
#include "app/settingsview/settingssourcelist.h"
#include "app/settingsview/settingsview.h"
#include "screenshots.h"
#include "settings/settingslist.h"
#include "testappcontext.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>

#include <memory>

using namespace tessaly;

namespace {

// Records what the settings view asks of the account panel.
class FakeAccountPanel : public AccountPanel {
public:
    void populateEmailSettings(const QString& address) override { shown.append(address); }
    void addEmailAccount() override { ++adds; }
    void announceRemoval() { Q_EMIT accountRemoved(); }

    QStringList shown;
    int adds = 0;
};

} // namespace

class TestSettingsView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void listEdgeCases();
    void accountsComeAndGo();
    void addingFolderSources();
    void keyboardReachesAddRowsWithoutStartingThem();
    void customDestination();
    void unreachableDestinationStartsNothing();
    void removingFolderSources();
    void generalPanel();

private:
    SettingsSourceList* list() const { return m_view->sourceList(); }
    int rowNamed(const QString& name) const {
        const QList<SettingsRow>& rows = list()->rows().rows();
        for (int i = 0; i < rows.size(); ++i) {
            if (rows[i].name == name) {
                return i;
            }
        }
        return -1;
    }
    void clickRow(int row) {
        const QRect rect = list()->visualRect(list()->model()->index(row, 0));
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
    }
    template <typename T> T* child(const QString& name) const {
        return m_view->findChild<T*>(name);
    }
    QStringList folderItems() const {
        return m_app->store().stringListValue(QStringLiteral("FolderItems"));
    }

    std::unique_ptr<test::TestAppContext> m_app;
    std::unique_ptr<SettingsView> m_view;
    FakeAccountPanel* m_accounts = nullptr;
};

void TestSettingsView::init() {
    m_app = std::make_unique<test::TestAppContext>();
    m_accounts = new FakeAccountPanel;
    m_view = std::make_unique<SettingsView>(*m_app, m_accounts);
    m_view->resize(1000, 700);
    m_view->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    // The general settings are chosen half a second after set-up.
    QTRY_COMPARE(list()->selectedRow(), 1);
    QCOMPARE(m_view->currentPanel(), m_view->generalPanel());
}

void TestSettingsView::cleanup() {
    m_view.reset();
    m_app.reset();
}

void TestSettingsView::listEdgeCases() {
    QCOMPARE(list()->model()->rowCount(), 7);
    QCOMPARE(list()->rows().row(6).name, QStringLiteral("Add Mailbox From Mail Client"));

    // A heading is not a choice: the selection and the panel stay.
    clickRow(rowNamed("EMAIL ACCOUNTS"));
    QCOMPARE(list()->selectedRow(), 1);
    QCOMPARE(m_view->currentPanel(), m_view->generalPanel());
    QVERIFY(list()->model()->flags(list()->model()->index(0, 0)) == Qt::NoItemFlags);

    // An invalid row with no folder sources lands on the folder heading: nothing is selected.
    list()->setSelectedRow(-1);
    QCOMPARE(list()->selectedRow(), -1);
    list()->setSelectedRow(1);
    QCOMPARE(list()->selectedRow(), 1);
    list()->setSelectedRow(7);
    QCOMPARE(list()->selectedRow(), -1);

    // With a folder source it is that source, shown in its panel.
    const QString mail = m_app->folder("Mail Export");
    m_app->store().setValue(QStringLiteral("FolderItems"), QStringList{mail});
    list()->reloadTheData();
    list()->setSelectedRow(100);
    QCOMPARE(list()->selectedRow(), rowNamed("Mail Export"));
    QCOMPARE(m_view->currentPanel(), m_view->folderPanel());
    QCOMPARE(m_view->folderPanel()->path(), mail);
}

void TestSettingsView::accountsComeAndGo() {
    const QString ann = QStringLiteral("ann@example.com");
    // Saved elsewhere (the account panel, the command line): listed within 0.2 s, and the
    // general settings stay chosen.
    QVERIFY(!m_app->accounts()
                 .setPrefsEmailAddress(ann, QStringLiteral("imap.example.com"),
                                       QStringLiteral("secret"))
                 .isError());
    QTRY_VERIFY_WITH_TIMEOUT(rowNamed(ann) == 3, 300);
    QCOMPARE(list()->selectedRow(), 1);
    QCOMPARE(m_view->currentPanel(), m_view->generalPanel());

    clickRow(rowNamed(ann));
    QCOMPARE(m_accounts->shown, QStringList{ann});
    QCOMPARE(m_view->currentPanel(), m_accounts);

    // The add row starts an empty form and lets go of the selection.
    clickRow(rowNamed("Add Account"));
    QTRY_COMPARE(m_accounts->adds, 1);
    QCOMPARE(list()->selectedRow(), -1);
    QCOMPARE(m_view->currentPanel(), m_accounts);

    // Removing the only account: the row above is its heading, so nothing stays selected,
    // also after the list is rebuilt without the account.
    clickRow(rowNamed(ann));
    QCOMPARE(list()->selectedRow(), 3);
    QVERIFY(!m_app->accounts().removeAccount(ann).isError());
    m_accounts->announceRemoval();
    QTRY_COMPARE(list()->selectedRow(), -1);
    QTRY_COMPARE(list()->model()->rowCount(), 7);
    QTest::qWait(300);
    QCOMPARE(list()->selectedRow(), -1);

    m_view->addEmailAccountUI();
    QCOMPARE(m_accounts->adds, 2);
}

void TestSettingsView::addingFolderSources() {
    const QString mail = m_app->folder("Mail Export");
    m_app->folderChoices = {mail};
    clickRow(rowNamed("Add Folder"));
    QTRY_COMPARE(m_app->folderRequests.size(), 1);
    QCOMPARE(m_app->folderRequests[0].title,
             QStringLiteral("Choose Source Folder containing mBox or eml files"));
    QCOMPARE(m_app->folderRequests[0].startFolder, SourceFolders::realHomeDirectory());
    QCOMPARE(folderItems(), QStringList{mail});
    QCOMPARE(m_view->currentPanel(), m_view->folderPanel());
    QCOMPARE(m_view->folderPanel()->sourceLabel()->text(), mail);
    QTRY_COMPARE(list()->selectedRow(), rowNamed("Mail Export"));
    QCOMPARE(list()->model()->rowCount(), 8);

    const QString other = m_app->folder("Other");
    m_app->folderChoices = {other};
    m_view->addFolderItemFromHomeDir();
    QTRY_COMPARE(list()->selectedRow(), rowNamed("Other"));
    QCOMPARE(folderItems(), QStringList({mail, other}));

    // Choosing a folder that is a source already adds nothing and shows that folder.
    m_app->folderChoices = {mail};
    clickRow(rowNamed("Add Mailbox From Mail Client"));
    QTRY_COMPARE(m_app->folderRequests.size(), 3);
    QCOMPARE(m_app->folderRequests[2].startFolder,
             SourceFolders::mailClientFolder(SourceFolders::realHomeDirectory()));
    QTRY_COMPARE(list()->selectedRow(), rowNamed("Mail Export"));
    QCOMPARE(m_view->folderPanel()->path(), mail);
    QCOMPARE(folderItems(), QStringList({mail, other}));
    QCOMPARE(list()->model()->rowCount(), 9);

    // A cancelled chooser changes nothing.
    clickRow(rowNamed("Add Folder"));
    QTRY_COMPARE(m_app->folderRequests.size(), 4);
    QCOMPARE(folderItems(), QStringList({mail, other}));
    QTRY_COMPARE(list()->selectedRow(), -1);
}

void TestSettingsView::keyboardReachesAddRowsWithoutStartingThem() {
    list()->setFocus();
    // Down from the general settings skips the heading to the add-account row.
    QTest::keyClick(list(), Qt::Key_Down);
    QCOMPARE(list()->currentIndex().row(), rowNamed("Add Account"));
    QTest::keyClick(list(), Qt::Key_Down);
    QCOMPARE(list()->currentIndex().row(), rowNamed("Add Folder"));
    QTest::qWait(50);
    QVERIFY(m_app->folderRequests.isEmpty());
    QCOMPARE(m_accounts->adds, 0);
    // Preferences that are no rows (a job's count, say) change while the user is there: the
    // keyboard position stays.
    m_app->store().setValue(QStringLiteral("/some/job__LastNumDone"), 3);
    QTest::qWait(400);
    QCOMPARE(list()->currentIndex().row(), rowNamed("Add Folder"));

    QTest::keyClick(list(), Qt::Key_Space);
    QTRY_COMPARE(m_app->folderRequests.size(), 1);
    QTest::keyClick(list(), Qt::Key_Up);
    QTest::keyClick(list(), Qt::Key_Return);
    QTRY_COMPARE(m_accounts->adds, 1);
}

void TestSettingsView::customDestination() {
    const QString mail = m_app->folder("Mail Export");
    m_app->folderChoices = {mail};
    m_view->addFolderItemFromHomeDir();
    QTRY_COMPARE(list()->selectedRow(), rowNamed("Mail Export"));

    FolderSettingsPanel* panel = m_view->folderPanel();
    auto* pick = child<QPushButton>("pickDestinationFolder");
    auto* removeCustom = child<QPushButton>("removeCustomPath");
    const QString general = m_app->generalDestination();
    QCOMPARE(panel->destinationLabel()->text(),
             QStringLiteral("Default (%1/Mail Export)").arg(general));
    QCOMPARE(pick->text(), QStringLiteral("Set Custom"));
    QVERIFY(removeCustom->isHidden());

    const QString usb = m_app->folder("usb");
    m_app->folderChoices = {usb};
    QTest::mouseClick(pick, Qt::LeftButton);
    QCOMPARE(m_app->folderRequests.last().title, QStringLiteral("Choose Destination Folder"));
    QCOMPARE(panel->destinationLabel()->text(), usb + QStringLiteral("/Mail Export"));
    QCOMPARE(pick->text(), QStringLiteral("Change"));
    QVERIFY(!removeCustom->isHidden());
    bool own = false;
    QCOMPARE(m_app->accounts().destPathForItem(mail, &own), usb + QStringLiteral("/Mail Export"));
    QVERIFY(own);

    // Changing again starts where the folder is now.
    m_app->folderChoices = {QString()};
    QTest::mouseClick(pick, Qt::LeftButton);
    QCOMPARE(m_app->folderRequests.last().startFolder, usb);
    QCOMPARE(panel->destinationLabel()->text(), usb + QStringLiteral("/Mail Export"));

    QTest::mouseClick(removeCustom, Qt::LeftButton);
    QCOMPARE(panel->destinationLabel()->text(),
             QStringLiteral("Default (%1/Mail Export)").arg(general));
    QVERIFY(removeCustom->isHidden());
    QVERIFY(!m_app->store().isStored(mail + QStringLiteral("__DEST_bookmark")));

    QTest::mouseClick(child<QToolButton>("folderHelp"), Qt::LeftButton);
    QCOMPARE(m_app->helpTopicsShown, QStringList{"folder"});
}

void TestSettingsView::unreachableDestinationStartsNothing() {
    const QString mail = m_app->folder("Mail Export");
    m_app->folderChoices = {mail};
    m_view->addFolderItemFromHomeDir();
    QTRY_COMPARE(m_view->folderPanel()->path(), mail);

    // The drive holding the chosen folder goes away.
    const QString drive = m_app->folder("media/usb");
    m_app->accounts().setDestinationFolder(mail, drive);
    QVERIFY(QDir(drive).removeRecursively());
    m_view->folderPanel()->populateFolderSettings(mail);
    QVERIFY(!child<QLabel>("destUnreachable")->isHidden());
    QCOMPARE(m_view->folderPanel()->destinationLabel()->text(),
             drive + QStringLiteral("/Mail Export"));

    QSignalSpy notStarted(&m_app->archiveController(), &ArchiveController::sourceNotStarted);
    QTest::mouseClick(child<QPushButton>("startArchiving"), Qt::LeftButton);
    QCOMPARE(m_app->startedSources, QStringList{mail});
    QCOMPARE(notStarted.size(), 1);
    QCOMPARE(notStarted[0][1].toString(),
             QStringLiteral("the destination folder %1 is not reachable (is its drive mounted?)")
                 .arg(drive));
    QVERIFY(m_app->archiveController().renderJobs().isEmpty());
    // The choice is kept for when the drive is back.
    QCOMPARE(m_app->store().stringValue(mail + QStringLiteral("__DEST_bookmark")), drive);

    // Without an own destination, an unreachable general one stops the job the same way.
    m_app->accounts().setDestinationFolder(mail, QString());
    QVERIFY(QDir(m_app->generalDestination()).removeRecursively());
    m_app->archiveController().startArchiving(mail);
    QCOMPARE(notStarted.size(), 2);
    QVERIFY(notStarted[1][1].toString().contains(QStringLiteral("is not reachable")));
    QVERIFY(m_app->archiveController().renderJobs().isEmpty());

    // The source itself gone: not an empty run recorded as archived, but a reason.
    QDir().mkpath(m_app->generalDestination());
    QVERIFY(QDir(mail).removeRecursively());
    m_app->archiveController().startArchiving(mail);
    QCOMPARE(notStarted.size(), 3);
    QCOMPARE(notStarted[2][1].toString(),
             QStringLiteral("the source folder %1 is not there (is its drive mounted?)").arg(mail));
    QVERIFY(m_app->archiveController().renderJobs().isEmpty());
    QVERIFY(!m_app->store().isStored(mail + QStringLiteral("__LastFinished")));
}

void TestSettingsView::removingFolderSources() {
    const QString first = m_app->folder("First");
    const QString second = m_app->folder("Second");
    m_app->folderChoices = {first, second};
    m_view->addFolderItemFromHomeDir();
    QTRY_COMPARE(list()->selectedRow(), rowNamed("First"));
    m_view->addFolderItemFromHomeDir();
    QTRY_COMPARE(list()->selectedRow(), rowNamed("Second"));

    auto* remove = child<QPushButton>("removeFolderButton");
    QTest::mouseClick(remove, Qt::LeftButton);
    QCOMPARE(folderItems(), QStringList{first});
    QTRY_COMPARE(list()->selectedRow(), rowNamed("First"));
    QCOMPARE(m_view->folderPanel()->path(), first);
    QTRY_COMPARE(rowNamed("Second"), -1);
    QCOMPARE(list()->selectedRow(), rowNamed("First"));

    // The only source: the row above is the heading, and the panel is left empty.
    QTest::mouseClick(remove, Qt::LeftButton);
    QVERIFY(folderItems().isEmpty());
    QTRY_COMPARE(list()->model()->rowCount(), 7);
    QCOMPARE(list()->selectedRow(), -1);
    QVERIFY(m_view->folderPanel()->path().isEmpty());
    QVERIFY(!remove->isEnabled());

    // Screenshots with a folder source and its own, unreachable destination.
    m_app->folderChoices = {first};
    m_view->addFolderItemFromHomeDir();
    QTRY_COMPARE(list()->selectedRow(), rowNamed("First"));
    m_app->accounts().setDestinationFolder(first, QStringLiteral("/media/not-mounted"));
    m_view->folderPanel()->populateFolderSettings(first);
    QCOMPARE(test::saveScreenshots(m_view.get(), "settings-folder-panel").size(), 2);
}

void TestSettingsView::generalPanel() {
    GeneralSettingsPanel* panel = m_view->generalPanel();
    QCOMPARE(panel->destinationLabel()->text(), m_app->generalDestination());

    QLineEdit* hours = panel->hoursField();
    QCOMPARE(hours->text(), QStringLiteral("24"));
    hours->setFocus();
    hours->selectAll();
    QTest::keyClicks(hours, "12a.5");
    QCOMPARE(hours->text(), QStringLiteral("12.5"));
    QCOMPARE(hours->cursorPosition(), 4);
    QCOMPARE(m_app->store().stringValue(QStringLiteral("hoursBetweenUpdates")),
             QStringLiteral("12.5"));

    auto* jobs = child<QSpinBox>("maxNumRenderJobs");
    QCOMPARE(jobs->maximum(), 10);
    jobs->setValue(3);
    QCOMPARE(m_app->store().maxNumRenderJobs(), 3);

    auto* launch = child<QCheckBox>("StartArchivingOnLaunch");
    QVERIFY(!launch->isChecked());
    auto* windowsNames = child<QCheckBox>("useWindowsFriendlyFilenames");
    QVERIFY(windowsNames->isChecked());
    windowsNames->click();
    QVERIFY(!m_app->store().useWindowsFriendlyFilenames());

    // Changes made elsewhere show a second later.
    m_app->store().setValue(QStringLiteral("StartArchivingOnLaunch"), true);
    const QString elsewhere = m_app->folder("Elsewhere");
    m_app->store().setDestinationFolder(elsewhere);
    QTRY_VERIFY_WITH_TIMEOUT(launch->isChecked(), 2000);
    QCOMPARE(panel->destinationLabel()->text(), elsewhere);

    for (QPushButton* button : panel->findChildren<QPushButton*>()) {
        QVERIFY2(!button->accessibleName().isEmpty(), qPrintable(button->text()));
        if (button->text() == QStringLiteral("File Names…")) {
            button->click();
        } else if (button->text() == QStringLiteral("Change…")) {
            button->click();
        }
    }
    QCOMPARE(m_app->pathFormatEditorsShown, QStringList{"General"});
    QCOMPARE(m_app->destinationChoosersShown, 1);
}

QTEST_MAIN(TestSettingsView)
#include "tst_settingsview.moc"
