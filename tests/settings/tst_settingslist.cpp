#include "platform/prefs/preferencestore.h"
#include "settings/settingslist.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace tessaly;

class TestSettingsList : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void rowsWithNothingStored();
    void rowsFollowTheStoredLists();
    void selectionRules();
    void folderSourcesStayFreeOfDuplicates();
    void hoursField_data();
    void hoursField();
    void mailClientFolder();

private:
    QStringList names(const SettingsList& list) const {
        QStringList out;
        for (const SettingsRow& row : list.rows()) {
            out.append(row.name);
        }
        return out;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PreferenceStore> m_store;
};

void TestSettingsList::init() {
    m_store.reset();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<PreferenceStore>(m_dir->filePath(QStringLiteral("Tessaly.conf")));
}

void TestSettingsList::rowsWithNothingStored() {
    SettingsList list;
    list.rebuild(*m_store);
    QCOMPARE(names(list), QStringList({"GENERAL", "Settings", "EMAIL ACCOUNTS", "Add Account",
                                       "FOLDERS", "Add Folder", "Add Mailbox From Mail Client"}));
    QCOMPARE(list.rowCount(), 7);
    QVERIFY(list.row(0).heading && list.row(2).heading && list.row(4).heading);
    QVERIFY(list.row(1).isGeneralSettings());
    QCOMPARE(list.row(3).action, SettingsRow::Action::NewAccount);
    QCOMPARE(list.row(5).action, SettingsRow::Action::NewFolder);
    QCOMPARE(list.row(6).action, SettingsRow::Action::NewMailbox);
    QCOMPARE(list.row(6).id, QStringLiteral("__Add New Mailbox Item__"));
}

void TestSettingsList::rowsFollowTheStoredLists() {
    m_store->setValue(QStringLiteral("EmailAccounts"),
                      QStringList{"ann@example.com", "Ann@example.com"});
    m_store->setValue(QStringLiteral("FolderItems"),
                      QStringList{"/home/ann/Mail Export", "/srv/old/"});
    SettingsList list;
    list.rebuild(*m_store);
    QCOMPARE(names(list), QStringList({"GENERAL", "Settings", "EMAIL ACCOUNTS", "ann@example.com",
                                       "Ann@example.com", "Add Account", "FOLDERS", "Mail Export",
                                       "old", "Add Folder", "Add Mailbox From Mail Client"}));
    QCOMPARE(list.row(4).email, QStringLiteral("Ann@example.com"));
    QCOMPARE(list.row(4).id, QStringLiteral("Ann@example.com"));
    QCOMPARE(list.row(7).folder, QStringLiteral("/home/ann/Mail Export"));
    QCOMPARE(list.row(8).id, QStringLiteral("/srv/old/"));
    QCOMPARE(list.row(8).icon, SettingsRow::Icon::Folder);
}

void TestSettingsList::selectionRules() {
    SettingsList list;
    list.rebuild(*m_store);
    for (int heading : {0, 2, 4}) {
        QVERIFY(!list.canSelect(heading));
    }
    QVERIFY(list.canSelect(1) && list.canSelect(3) && list.canSelect(6));
    QVERIFY(!list.canSelect(-1) && !list.canSelect(7));

    // Without folder sources an invalid index lands on the folder heading: nothing selectable.
    QCOMPARE(list.normalizedRow(-1), 4);
    QCOMPARE(list.normalizedRow(7), 4);
    QCOMPARE(list.normalizedRow(3), 3);
    QVERIFY(!list.canSelect(list.normalizedRow(99)));

    FolderSources::addSourcePathToPrefs(*m_store, QStringLiteral("/a/Mail"));
    list.rebuild(*m_store);
    QCOMPARE(list.row(list.normalizedRow(-5)).folder, QStringLiteral("/a/Mail"));

    // Reselecting by id follows the row to its new place; add rows are never reselected.
    list.setSelectedItemID(QStringLiteral("/a/Mail"));
    QCOMPARE(list.reselectIndex(), 5);
    m_store->setValue(QStringLiteral("EmailAccounts"), QStringList{"ann@example.com"});
    list.rebuild(*m_store);
    QCOMPARE(list.reselectIndex(), 6);
    list.setSelectedItemID(SettingsList::addFolderId);
    QCOMPARE(list.reselectIndex(), -1);
    list.setSelectedItemID(QStringLiteral("gone@example.com"));
    QCOMPARE(list.reselectIndex(), -1);

    SettingsList empty;
    QCOMPARE(empty.normalizedRow(-1), 0);
}

void TestSettingsList::folderSourcesStayFreeOfDuplicates() {
    QCOMPARE(FolderSources::addSourcePathToPrefs(*m_store, QStringLiteral("/a")), 0);
    QCOMPARE(FolderSources::addSourcePathToPrefs(*m_store, QStringLiteral("/b")), 1);
    QCOMPARE(FolderSources::addSourcePathToPrefs(*m_store, QStringLiteral("/a")), 0);
    QCOMPARE(FolderSources::addSourcePathToPrefs(*m_store, QString()), -1);
    QCOMPARE(m_store->stringListValue(QStringLiteral("FolderItems")), QStringList({"/a", "/b"}));

    QVERIFY(FolderSources::removeSourcePathFromPrefs(*m_store, QStringLiteral("/a")));
    QVERIFY(!FolderSources::removeSourcePathFromPrefs(*m_store, QStringLiteral("/a")));
    QCOMPARE(m_store->stringListValue(QStringLiteral("FolderItems")), QStringList({"/b"}));
    QVERIFY(FolderSources::removeSourcePathFromPrefs(*m_store, QStringLiteral("/b")));
    QVERIFY(m_store->stringListValue(QStringLiteral("FolderItems")).isEmpty());
}

void TestSettingsList::hoursField_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    QTest::newRow("letter") << "12a.5"
                            << "12.5";
    QTest::newRow("sign and space") << "-1 2"
                                    << "12";
    QTest::newRow("other digits") << QString::fromUtf8("١٢3") << "3";
    QTest::newRow("nothing left") << "abc"
                                  << "";
}

void TestSettingsList::hoursField() {
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    QCOMPARE(constrainHoursField(typed), kept);
}

void TestSettingsList::mailClientFolder() {
    const QString home = m_dir->filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home));
    QCOMPARE(SourceFolders::mailClientFolder(home), home);
    QVERIFY(QDir().mkpath(home + QStringLiteral("/Mail")));
    QCOMPARE(SourceFolders::mailClientFolder(home), home + QStringLiteral("/Mail"));
    QVERIFY(QDir().mkpath(home + QStringLiteral("/.local/share/evolution/mail")));
    QCOMPARE(SourceFolders::mailClientFolder(home),
             home + QStringLiteral("/.local/share/evolution/mail"));
    QVERIFY(QDir().mkpath(home + QStringLiteral("/.thunderbird")));
    QCOMPARE(SourceFolders::mailClientFolder(home), home + QStringLiteral("/.thunderbird"));

    QVERIFY(QDir::isAbsolutePath(SourceFolders::realHomeDirectory()));
}

QTEST_GUILESS_MAIN(TestSettingsList)
#include "tst_settingslist.moc"
