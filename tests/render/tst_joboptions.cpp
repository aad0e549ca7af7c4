#include "render/joboptions.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace tessaly;

class TestJobOptions : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void emlRecordRoundTrips();
    void imapRecordRoundTrips();
    void foreignKeysAndWrongTypes();
    void remoteImagesAreOnUnlessSwitchedOff();
};

void TestJobOptions::emlRecordRoundTrips() {
    JobOptions eml;
    eml.destFolder = QStringLiteral("/home/ann/Archive");
    eml.destFolderOverride = QStringLiteral("/home/ann/Dropped");
    eml.pdfFormat = QStringLiteral("%Y/__subject__.pdf");
    eml.attachmentFormat = QStringLiteral("none");
    eml.emlFormat = QString();
    eml.windowsFilenames = true;
    eml.tinyHeaders = false;
    eml.loadRemoteImages = false;
    eml.emlFiles = QStringList{QStringLiteral("/tmp/a.eml"), QStringLiteral("/tmp/box.mbox")};
    QVERIFY(eml.isEmlJob());

    const QJsonObject json = eml.toJson();
    QStringList keys = json.keys();
    keys.sort();
    QCOMPARE(keys, (QStringList{"attachment_format", "dest_folder", "dest_folder_override",
                                "eml_files", "eml_format", "load_remote_images", "pdf_format",
                                "tiny_headers", "windows_filenames"}));
    QCOMPARE(json.value("tiny_headers"), QJsonValue(false));
    QCOMPARE(json.value("load_remote_images"), QJsonValue(false));
    // Through text, as in a job file.
    const QJsonObject reread = QJsonDocument::fromJson(QJsonDocument(json).toJson()).object();
    QCOMPARE(JobOptions::fromJson(reread), eml);
}

void TestJobOptions::imapRecordRoundTrips() {
    JobOptions imap;
    imap.emailUsername = QStringLiteral("ann@example.com");
    imap.destFolder = QStringLiteral("/home/ann/Archive");
    imap.imapServer = QStringLiteral("imap.example.com");
    imap.imapPort = 993;
    imap.imapTransport = 4;
    imap.authSystem = QStringLiteral("kauth_user_pass");
    imap.accessToken = QString();
    imap.password = QStringLiteral("secret");
    QVERIFY(!imap.isEmlJob());

    const QJsonObject json = imap.toJson();
    QVERIFY(!json.contains("eml_files"));
    // With no stored ignore list the key is absent, not empty.
    QVERIFY(!json.contains("folders_to_skip"));
    QCOMPARE(json.value("imap_port").toInt(), 993);
    QCOMPARE(JobOptions::fromJson(json), imap);

    imap.foldersToSkip = QStringList{};
    QCOMPARE(imap.toJson().value("folders_to_skip"), QJsonValue(QJsonArray{}));
    QCOMPARE(JobOptions::fromJson(imap.toJson()), imap);
}

void TestJobOptions::foreignKeysAndWrongTypes() {
    QJsonObject json;
    json.insert("renderboxID", "box-1");
    json.insert("current_file", "/run/x");
    json.insert("pdf_format", 42);
    json.insert("windows_filenames", "yes");
    json.insert("eml_files", QJsonArray{"/a.eml", 3});
    const JobOptions options = JobOptions::fromJson(json);
    QCOMPARE(options.pdfFormat, QString());
    QVERIFY(!options.windowsFilenames);
    QCOMPARE(*options.emlFiles, QStringList{"/a.eml"});
    QVERIFY(!options.toJson().contains("renderboxID"));
}

void TestJobOptions::remoteImagesAreOnUnlessSwitchedOff() {
    // A job file written before the option existed has no key: remote images load.
    const QJsonObject old = QJsonDocument::fromJson(R"({"dest_folder": "/a", "pdf_format": "x",
        "attachment_format": "none", "eml_format": "", "windows_filenames": true})")
                                .object();
    const JobOptions options = JobOptions::fromJson(old);
    QVERIFY(!options.loadRemoteImages);
    QVERIFY(options.remoteImagesAllowed());
    QVERIFY(!options.toJson().contains("load_remote_images"));
    QVERIFY(JobOptions{}.remoteImagesAllowed());

    JobOptions off = options;
    off.loadRemoteImages = false;
    const QJsonObject json = QJsonDocument::fromJson(QJsonDocument(off.toJson()).toJson()).object();
    QCOMPARE(json.value("load_remote_images"), QJsonValue(false));
    QVERIFY(!JobOptions::fromJson(json).remoteImagesAllowed());
    QCOMPARE(JobOptions::fromJson(json), off);

    JobOptions on = options;
    on.loadRemoteImages = true;
    QCOMPARE(on.toJson().value("load_remote_images"), QJsonValue(true));
    QVERIFY(JobOptions::fromJson(on.toJson()).remoteImagesAllowed());
    QCOMPARE(JobOptions::fromJson(on.toJson()), on);
    // A value of the wrong type counts as absent, so as on.
    QVERIFY(JobOptions::fromJson({{"load_remote_images", "no"}}).remoteImagesAllowed());
}

QTEST_GUILESS_MAIN(TestJobOptions)
#include "tst_joboptions.moc"
