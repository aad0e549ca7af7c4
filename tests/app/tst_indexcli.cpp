#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"
#include "search/archiveindex.h"
#include "settings/accountkeys.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

} // namespace

// The real `tessaly-cli index`, with its own configuration and data folders.
class TestIndexCli : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void storedRootsKeptCurrent();
    void errorsOfUse();

private:
    Run run(const QStringList& arguments);
    qint64 indexedFiles();
    QString path(const QString& name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_dataHome;
};

void TestIndexCli::init() {
    QVERIFY2(!qEnvironmentVariable("TESSALY_CLI_PROGRAM").isEmpty(),
             "TESSALY_CLI_PROGRAM names the tessaly-cli to test");
    m_dir = std::make_unique<QTemporaryDir>();
    m_dataHome = path("data");
}

Run TestIndexCli::run(const QStringList& arguments) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", path("config"));
    environment.insert("XDG_DATA_HOME", m_dataHome);
    process.setProcessEnvironment(environment);
    process.start(qEnvironmentVariable("TESSALY_CLI_PROGRAM"), QStringList{"index"} + arguments);
    Run result;
    if (!process.waitForFinished(120'000) || process.exitStatus() != QProcess::NormalExit) {
        qWarning() << "tessaly-cli did not end normally";
        return result;
    }
    result.status = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

qint64 TestIndexCli::indexedFiles() {
    QString error;
    auto index = ArchiveIndex::open(m_dataHome + "/tessaly/index.sqlite", &error);
    std::vector<SqliteDatabase::Row> rows;
    if (!index || !index->query("SELECT count(*) FROM files", {}, &rows)) {
        return -1;
    }
    return rows.front().front().toLongLong();
}

void TestIndexCli::storedRootsKeptCurrent() {
    {
        PreferenceStore store(path("config/Tessaly/Tessaly.conf"));
        store.registerStandardDefaults();
        store.setDestinationFolder(path("dest"));
        // An account archiving to a drive that is not mounted, and a folder source archiving
        // inside the general destination.
        store.setValue(accountkeys::emailAccounts, QStringList{"me@example.org"});
        store.setValue(accountkeys::folderItems, QStringList{"/home/me/Mail/"});
        QVERIFY(!URLBookmarkInPrefs::setURL(store, path("usb"),
                                            "me@example.org" + accountkeys::destinationSuffix)
                     .isEmpty());
    }
    test::writeFile(path("dest/a.eml"), "a");
    test::writeFile(path("dest/Mail/2024/b.eml"), "b");
    test::writeFile(path("dest/.tessaly/ledger.sqlite"), "the ledger is not indexed");

    Run result = run({});
    QCOMPARE(result.status, 2);
    QCOMPARE(result.out, "indexed 2 files: added 2, updated 0, removed 0\n");
    QVERIFY2(result.err.contains(path("usb/me@example.org") + " is not reachable"),
             qPrintable(result.err));
    QCOMPARE(indexedFiles(), 2);

    test::writeFile(path("usb/me@example.org/c.eml"), "c");
    QVERIFY(QFile::remove(path("dest/a.eml")));
    result = run({});
    QCOMPARE(result.status, 0);
    QCOMPARE(result.out, "indexed 2 files: added 1, updated 0, removed 1\n");
    QCOMPARE(indexedFiles(), 2);

    // Roots named on the command line, nested ones merged; --rebuild reads them anew.
    result = run({"--rebuild", path("dest"), path("dest/Mail"), path("usb")});
    QCOMPARE(result.status, 0);
    QCOMPARE(result.out, "indexed 2 files: added 2, updated 0, removed 0\n");
}

void TestIndexCli::errorsOfUse() {
    Run result = run({"--fast"});
    QCOMPARE(result.status, 1);
    QVERIFY(result.err.contains("unknown option --fast"));
    QVERIFY(result.err.contains("usage: tessaly-cli index"));
    QVERIFY(result.out.isEmpty());

    // No destination chosen and no folder named: nothing to index is an error, not "0 files".
    result = run({});
    QCOMPARE(result.status, 1);
    QVERIFY(result.err.contains("no archive roots"));
    QVERIFY(result.out.isEmpty());

    // An index that cannot be made is reported, not taken for an empty archive.
    test::writeFile(path("blocked"), "a file where the data folder would be");
    m_dataHome = path("blocked");
    QDir().mkpath(path("dest"));
    result = run({path("dest")});
    QCOMPARE(result.status, 1);
    QVERIFY2(result.err.contains("cannot open the index"), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
}

QTEST_GUILESS_MAIN(TestIndexCli)
#include "tst_indexcli.moc"
