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
    const EmlOutput::Copy copy = EmlOutput::writeEMLCopy(parser, {}, {}, options(dir.path()), 1);
    QCOMPARE(copy.status, EmlOutput::Copy::Status::Written);
    QCOMPARE(copy.path, dir.filePath(QStringLiteral("2014/Kept.eml")));
    QCOMPARE(read(copy.path), message());
    // The same bytes already there are this message's copy.
    QCOMPARE(EmlOutput::writeEMLCopy(parser, {}, {}, options(dir.path()), 1).status,
             EmlOutput::Copy::Status::Written);

    // Another file at the name is another message's: never replaced.
    writeRaw(copy.path, "older, different content");
    QCOMPARE(EmlOutput::writeEMLCopy(parser, {}, {}, options(dir.path()), 1).status,
             EmlOutput::Copy::Status::Taken);
    QCOMPARE(read(copy.path), QByteArray("older, different content"));
    const EmlOutput::Copy second = EmlOutput::writeEMLCopy(parser, {}, {}, options(dir.path()), 2);
    QCOMPARE(second.path, dir.filePath(QStringLiteral("2014/Kept 2.eml")));
    QCOMPARE(read(second.path), message());

    JobOptions off = options(dir.path());
    off.emlFormat = QStringLiteral("none");
    QCOMPARE(EmlOutput::writeEMLCopy(parser, {}, {}, off, 1).status, EmlOutput::Copy::Status::Off);
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
    const QString pdf = dir.filePath(QStringLiteral("2014/Kept.pdf"));
    QVERIFY(EmlOutput::emergencyCopy(message(), pdf).written());
    // Beside the PDF path: same folder and name, extension "eml".
    const QString copy = dir.filePath(QStringLiteral("2014/Kept.eml"));
    QCOMPARE(read(copy), message());
    // The same message failing again finds its copy in place.
    QVERIFY(EmlOutput::emergencyCopy(message(), pdf).written());

    // Another message's copy at the name is left untouched.
    QByteArray changed = message();
    changed.replace("body", "BODY");
    QCOMPARE(EmlOutput::emergencyCopy(changed, pdf).status, WriteOutcome::Status::AlreadyExists);
    QCOMPARE(read(copy), message());

    // With a sound PDF in place, no emergency copy is needed.
    QTemporaryDir other;
    const QString sound = other.filePath(QStringLiteral("2014/Kept.pdf"));
    writeRaw(sound, QByteArray(8000, 'p'));
    QVERIFY(!EmlOutput::emergencyCopy(message(), sound).written());
    QVERIFY(!QFileInfo::exists(other.filePath(QStringLiteral("2014/Kept.eml"))));

    QCOMPARE(EmlOutput::emlPathBeside(QStringLiteral("/a/b.c/name.pdf")),
             QStringLiteral("/a/b.c/name.eml"));
    QCOMPARE(EmlOutput::emlPathBeside(QStringLiteral("/a/noext")), QStringLiteral("/a/noext.eml"));
}

QTEST_GUILESS_MAIN(TestEmlOutput)
#include "tst_emloutput.moc"
