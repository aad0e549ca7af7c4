#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

class TestPreferenceStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { QVERIFY(m_dir.isValid()); }
    void registeredDefaultsAndStoredValues();
    void keysAreKeptExactly();
    void valuesSurviveAReopen();
    void typedReadersToleratesStoredText();
    void changeSignalAndDebounce();
    void userFileFollowsXdgConfigHome();

private:
    QString file() const { return m_dir.filePath(QStringLiteral("Tessaly.conf")); }
    QTemporaryDir m_dir;
};

void TestPreferenceStore::registeredDefaultsAndStoredValues() {
    PreferenceStore store(file());
    QVERIFY(!store.value(prefkeys::maxNumRenderJobs).isValid());
    store.registerStandardDefaults();
    QCOMPARE(store.stringValue(prefkeys::hoursBetweenUpdates), QStringLiteral("24"));
    QCOMPARE(store.hoursBetweenUpdates(), 24.0);
    QCOMPARE(store.maxNumRenderJobs(), 1);
    QVERIFY(store.useWindowsFriendlyFilenames());
    QVERIFY(store.includeTinyHeaderText());
    QVERIFY(store.loadRemoteImages());
    QVERIFY(store.storedKeys().isEmpty()); // defaults are never written

    store.setValue(prefkeys::useWindowsFriendlyFilenames, false);
    store.setValue(prefkeys::maxNumRenderJobs, 40);
    store.setValue(prefkeys::loadRemoteImages, false);
    QVERIFY(!store.useWindowsFriendlyFilenames());
    QVERIFY(!store.loadRemoteImages());
    QVERIFY(store.storedKeys().contains(QStringLiteral("loadRemoteImages")));
    QCOMPARE(store.maxNumRenderJobs(), 10); // clamped
    store.setValue(prefkeys::maxNumRenderJobs, 0);
    QCOMPARE(store.maxNumRenderJobs(), 1);

    store.removeAll();
    QVERIFY(store.useWindowsFriendlyFilenames());
    QVERIFY(store.loadRemoteImages());
    QVERIFY(store.storedKeys().isEmpty());
}

void TestPreferenceStore::keysAreKeptExactly() {
    // Folder sources are keyed by their path; QSettings alone would turn "/" into groups and
    // fold "//" and the leading slash away.
    const QStringList keys = {
        QStringLiteral("/home/ann/Mail__DEST"), QStringLiteral("home/ann/Mail__DEST"),
        QStringLiteral("//srv//mail%2Fx\\y__LastFinished"), QStringLiteral("ann@example.com__IMAP"),
        QStringLiteral("Generalpdf")};
    {
        PreferenceStore store(file());
        for (const QString& key : keys) {
            store.setValue(key, key + QStringLiteral("-value"));
        }
    }
    PreferenceStore reopened(file());
    QStringList stored = reopened.storedKeys();
    stored.sort();
    QStringList expected = keys;
    expected.sort();
    QCOMPARE(stored, expected);
    for (const QString& key : keys) {
        QCOMPARE(reopened.stringValue(key), key + QStringLiteral("-value"));
    }
}

void TestPreferenceStore::valuesSurviveAReopen() {
    {
        PreferenceStore store(file());
        store.setValue(QStringLiteral("ann@example.com__IgnoreFolders"),
                       QStringList{QStringLiteral("Spam"), QStringLiteral("Trash")});
        store.setValue(QStringLiteral("one"), QStringList{QStringLiteral("only")});
        store.setValue(prefkeys::launchCount, 3);
        QVERIFY(store.sync());
    }
    PreferenceStore store(file());
    QCOMPARE(store.stringListValue(QStringLiteral("ann@example.com__IgnoreFolders")),
             (QStringList{QStringLiteral("Spam"), QStringLiteral("Trash")}));
    QCOMPARE(store.stringListValue(QStringLiteral("one")), QStringList{QStringLiteral("only")});
    QCOMPARE(store.integerValue(prefkeys::launchCount), 3);
    QVERIFY(store.stringListValue(QStringLiteral("absent")).isEmpty());
}

void TestPreferenceStore::typedReadersToleratesStoredText() {
    PreferenceStore store(file());
    store.registerStandardDefaults();
    store.setValue(prefkeys::hoursBetweenUpdates, QStringLiteral(" 1.5 "));
    QCOMPARE(store.hoursBetweenUpdates(), 1.5);
    store.setValue(prefkeys::hoursBetweenUpdates, QStringLiteral("soon"));
    QCOMPARE(store.hoursBetweenUpdates(), 24.0);
    store.setValue(prefkeys::includeTinyHeaderText, QStringLiteral("false"));
    QVERIFY(!store.includeTinyHeaderText());
    store.setValue(prefkeys::includeTinyHeaderText, QStringLiteral("1"));
    QVERIFY(store.includeTinyHeaderText());
}

void TestPreferenceStore::changeSignalAndDebounce() {
    PreferenceStore store(file());
    PreferenceWatcher watcher(&store, 50);
    QSignalSpy changes(&store, &PreferenceStore::valueChanged);
    QSignalSpy settled(&watcher, &PreferenceWatcher::settled);

    store.setValue(QStringLiteral("a"), 1);
    store.setValue(QStringLiteral("a"), 1); // unchanged: no signal
    store.setValue(QStringLiteral("b"), 2);
    store.setValue(QStringLiteral("a"), 3);
    store.remove(QStringLiteral("never-stored"));
    QCOMPARE(changes.count(), 3);

    QVERIFY(settled.wait(2000));
    QCOMPARE(settled.count(), 1);
    QCOMPARE(settled.first().first().toStringList(),
             (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
}

void TestPreferenceStore::userFileFollowsXdgConfigHome() {
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", m_dir.path().toUtf8());
    QCOMPARE(PreferenceStore::userFilePath(),
             m_dir.path() + QStringLiteral("/Tessaly/Tessaly.conf"));
    qputenv("XDG_CONFIG_HOME", "relative/ignored");
    QVERIFY(
        PreferenceStore::userFilePath().endsWith(QStringLiteral("/.config/Tessaly/Tessaly.conf")));
    qputenv("XDG_CONFIG_HOME", saved);
}

QTEST_GUILESS_MAIN(TestPreferenceStore)
#include "tst_preferencestore.moc"
