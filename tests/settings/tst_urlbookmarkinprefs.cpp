#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace tessaly;

class TestURLBookmarkInPrefs : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void storingAndFinding();
    void legacyPathIsTakenOver();
    void removingForgetsBothEntries();
    void unmountedFolderIsKeptAndReportedUnreachable();
    void generalDestination();

private:
    QString folder(const QString& name) const {
        const QString path = m_dir->filePath(name);
        QDir().mkpath(path);
        return path;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PreferenceStore> m_store;
    const QString m_key = QStringLiteral("/home/ann/Mail Export__DEST");
};

void TestURLBookmarkInPrefs::init() {
    m_store.reset();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<PreferenceStore>(m_dir->filePath(QStringLiteral("Tessaly.conf")));
}

void TestURLBookmarkInPrefs::storingAndFinding() {
    QVERIFY(!URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, m_key).isSet());

    const QString target = folder(QStringLiteral("Out"));
    QCOMPARE(URLBookmarkInPrefs::setURL(*m_store, target + QStringLiteral("/./"), m_key), target);
    QCOMPARE(m_store->stringValue(m_key + QStringLiteral("_bookmark")), target);
    QVERIFY(!m_store->isStored(m_key));
    const FolderLookup found = URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, m_key);
    QCOMPARE(found.path, target);
    QVERIFY(found.isUsable());
    QVERIFY(found.reason.isEmpty());

    // An empty choice stores nothing and keeps what was there.
    QVERIFY(URLBookmarkInPrefs::setURL(*m_store, QString(), m_key).isEmpty());
    QCOMPARE(URLBookmarkInPrefs::lookup(*m_store, m_key).path, target);
}

void TestURLBookmarkInPrefs::legacyPathIsTakenOver() {
    const QString target = folder(QStringLiteral("Old Archive"));
    m_store->setValue(m_key, target);

    // Reading alone changes nothing in the store.
    QCOMPARE(URLBookmarkInPrefs::lookup(*m_store, m_key).path, target);
    QVERIFY(!m_store->isStored(URLBookmarkInPrefs::bookmarkKey(m_key)));

    const FolderLookup found = URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, m_key);
    QCOMPARE(found.path, target);
    QVERIFY(found.reachable);
    QCOMPARE(m_store->stringValue(m_key + QStringLiteral("_bookmark")), target);

    // Once a bookmark exists it wins over the plain path, which is never taken over again.
    const QString newer = folder(QStringLiteral("New Archive"));
    QCOMPARE(URLBookmarkInPrefs::setURL(*m_store, newer, m_key), newer);
    QVERIFY(URLBookmarkInPrefs::attemptBookmarkFix(*m_store, m_key).isEmpty());
    QCOMPARE(URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, m_key).path, newer);
}

void TestURLBookmarkInPrefs::removingForgetsBothEntries() {
    m_store->setValue(m_key, folder(QStringLiteral("A")));
    QVERIFY(URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, m_key).isSet());
    URLBookmarkInPrefs::removeBookmarkForKeyBase(*m_store, m_key);
    QVERIFY(!m_store->isStored(m_key));
    QVERIFY(!m_store->isStored(URLBookmarkInPrefs::bookmarkKey(m_key)));
    QVERIFY(!URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, m_key).isSet());

    // A plain path never taken over goes too, so it cannot come back on the next lookup.
    m_store->setValue(m_key, folder(QStringLiteral("B")));
    URLBookmarkInPrefs::removeBookmarkForKeyBase(*m_store, m_key);
    QVERIFY(!URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, m_key).isSet());
    QVERIFY(m_store->storedKeys().isEmpty());
}

void TestURLBookmarkInPrefs::unmountedFolderIsKeptAndReportedUnreachable() {
    const QString drive = folder(QStringLiteral("media/usb"));
    QCOMPARE(URLBookmarkInPrefs::setURL(*m_store, drive, m_key), drive);
    QVERIFY(QDir(drive).removeRecursively());

    for (int lookup = 0; lookup < 2; ++lookup) {
        const FolderLookup found = URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, m_key);
        QCOMPARE(found.path, drive);
        QVERIFY(!found.reachable);
        QVERIFY(!found.isUsable());
        QCOMPARE(found.reason,
                 QStringLiteral("volume or path does not appear to be mounted ") + drive);
    }
    QCOMPARE(m_store->stringValue(URLBookmarkInPrefs::bookmarkKey(m_key)), drive);

    // A file where the folder was is not a folder either.
    QVERIFY(QDir().mkpath(m_dir->filePath(QStringLiteral("media"))));
    QFile file(drive);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(!URLBookmarkInPrefs::lookup(*m_store, m_key).reachable);

    // Back when the drive is.
    QVERIFY(file.remove());
    QVERIFY(QDir().mkpath(drive));
    QVERIFY(URLBookmarkInPrefs::URLFromPrefsForKey(*m_store, m_key).isUsable());
}

void TestURLBookmarkInPrefs::generalDestination() {
    // Stored the way earlier versions did: the plain path under the key itself.
    const QString archive = folder(QStringLiteral("Archive"));
    m_store->setValue(prefkeys::destBookmarkURL, archive);
    QCOMPARE(m_store->destinationFolder(), archive);

    const QString other = folder(QStringLiteral("Other"));
    m_store->setDestinationFolder(other);
    QCOMPARE(m_store->stringValue(QStringLiteral("destBookmarkURL_bookmark")), other);
    QCOMPARE(m_store->destinationFolder(), other);

    m_store->setDestinationFolder(QString());
    QVERIFY(m_store->destinationFolder().isEmpty());
    QVERIFY(!m_store->isStored(prefkeys::destBookmarkURL));
}

QTEST_GUILESS_MAIN(TestURLBookmarkInPrefs)
#include "tst_urlbookmarkinprefs.moc"
