#include "render/emloutput.h"
#include "render/soundfiles.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

QByteArray message() {
    return test::crlfMessage("From: John Smith <john@example.com>\nTo: jane@example.com\n"
                             "Date: Sat, 18 Jan 2014 08:16:20 +0000\nSubject: Kept\n\nbody\n");
}

JobOptions options(const QString& dest) {
    JobOptions o;
    o.destFolder = dest;
    o.pdfFormat = QStringLiteral("%Y/__subject__.pdf");
    o.emlFormat = QStringLiteral("%Y/__subject__.eml");
    return o;
}

QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeRaw(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
}

} // namespace

class TestEmlOutput : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void copyIsTheRawMessage();
    void soundnessTests();
    void emergencyCopyNeverReplaces();
};

void TestEmlOutput::copyIsTheRawMessage() {
    QTemporaryDir dir;
    MCOMessageParser parser(message());
    const QString path = EmlOutput::writeEMLMessage(parser, {}, {}, options(dir.path()));
    QCOMPARE(path, dir.filePath(QStringLiteral("2014/Kept.eml")));
    QCOMPARE(read(path), message());

    // The copy is refreshed with every newly made PDF: it replaces what is there.
    writeRaw(path, "older, different content");
    QCOMPARE(EmlOutput::writeEMLMessage(parser, {}, {}, options(dir.path())), path);
    QCOMPARE(read(path), message());

    JobOptions off = options(dir.path());
    off.emlFormat = QStringLiteral("none");
    QVERIFY(EmlOutput::writeEMLMessage(parser, {}, {}, off).isNull());
}

void TestEmlOutput::soundnessTests() {
    QTemporaryDir dir;
    const QString eml = dir.filePath(QStringLiteral("m.eml"));
    QVERIFY(!EmlOutput::emlFilelooksOK(eml));
    writeRaw(eml, QByteArray(10, 'x'));
    QVERIFY(!EmlOutput::emlFilelooksOK(eml));
    QVERIFY(!QFileInfo::exists(eml)); // the remains of a failure are cleared
    writeRaw(eml, QByteArray(20, 'x'));
    QVERIFY(EmlOutput::emlFilelooksOK(eml));

    const QString pdf = dir.filePath(QStringLiteral("m.pdf"));
    writeRaw(pdf, QByteArray(6999, 'x'));
    QVERIFY(!SoundFiles::pdfFilelooksOK(pdf));
    QVERIFY(!QFileInfo::exists(pdf));
    writeRaw(pdf, QByteArray(7000, 'x'));
    QVERIFY(SoundFiles::pdfFilelooksOK(pdf));

    // A folder at the path is not an archived file, and is left alone.
    const QString folder = dir.filePath(QStringLiteral("folder.pdf"));
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(!SoundFiles::pdfFilelooksOK(folder));
    QVERIFY(QFileInfo(folder).isDir());
}

void TestEmlOutput::emergencyCopyNeverReplaces() {
    QTemporaryDir dir;
    const JobOptions o = options(dir.path());
    QVERIFY(EmlOutput::renderSingleEMLMessageAsEmergencyEML(message(), {}, {},
                                                            QStringLiteral("job"), o));
    // Beside the PDF path: same folder and name, extension "eml".
    const QString copy = dir.filePath(QStringLiteral("2014/Kept.eml"));
    QCOMPARE(read(copy), message());

    // A second failure of the same message leaves the first copy untouched.
    QByteArray changed = message();
    changed.replace("body", "BODY");
    QVERIFY(!EmlOutput::renderSingleEMLMessageAsEmergencyEML(changed, {}, {}, QStringLiteral("job"),
                                                             o));
    QCOMPARE(read(copy), message());

    // With a sound PDF in place, no emergency copy is needed.
    QTemporaryDir other;
    writeRaw(other.filePath(QStringLiteral("2014/Kept.pdf")), QByteArray(8000, 'p'));
    QVERIFY(!EmlOutput::renderSingleEMLMessageAsEmergencyEML(
        message(), {}, {}, QStringLiteral("job"), options(other.path())));
    QVERIFY(!QFileInfo::exists(other.filePath(QStringLiteral("2014/Kept.eml"))));

    QCOMPARE(EmlOutput::emlPathBeside(QStringLiteral("/a/b.c/name.pdf")),
             QStringLiteral("/a/b.c/name.eml"));
    QCOMPARE(EmlOutput::emlPathBeside(QStringLiteral("/a/noext")), QStringLiteral("/a/noext.eml"));
}

QTEST_GUILESS_MAIN(TestEmlOutput)
#include "tst_emloutput.moc"
