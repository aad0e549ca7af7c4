#include "platform/bus/notificationcenter.h"
#include "renderbox/boxprotocol.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

QByteArray plain(const QByteArray& headers, const QByteArray& body) {
    return test::crlfMessage(headers + "\n" + body + "\n" + QByteArray(300, 'z') + "\n");
}

// Messages that all want one name, and a copy of one of them.
void writeTwins(const QString& folder) {
    for (int i = 1; i <= 3; ++i) {
        test::writeFile(QStringLiteral("%1/same%2.eml").arg(folder).arg(i),
                        plain("From: a@example.com\nSubject: same\nDate: Sat, 18 Jan 2014 "
                              "08:16:20 +0000\nMessage-ID: <same" +
                                  QByteArray::number(i) + "@example.com>\n",
                              "body " + QByteArray::number(i)));
    }
    for (int i = 1; i <= 2; ++i) {
        test::writeFile(
            QStringLiteral("%1/bare%2.eml").arg(folder).arg(i),
            plain("From: b@example.com\n", "no date, no subject " + QByteArray::number(i)));
    }
    QVERIFY(QFile::copy(folder + "/bare1.eml", folder + "/bare1 copy.eml"));
}

void writeMessages(const QString& folder, int count) {
    for (int i = 1; i <= count; ++i) {
        test::writeFile(QStringLiteral("%1/m%2.eml").arg(folder).arg(i),
                        plain("From: c@example.com\nSubject: message " + QByteArray::number(i) +
                                  "\nDate: Sun, 19 Jan 2014 10:00:" + QByteArray::number(10 + i) +
                                  " +0000\n",
                              "body"));
    }
}

// Message PDFs, not the PDFs among attachments.
int messagePdfs(const QString& folder) {
    int count = 0;
    QDirIterator it(folder, {"*.pdf"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        // "NAME (attachments)", or "NAME (attachments) 2" for a message sharing its name.
        count +=
            QFileInfo(QFileInfo(it.next()).path()).fileName().contains("(attachments)") ? 0 : 1;
    }
    return count;
}

} // namespace

// The command-line tool as a user runs it: real render boxes over the test's session bus.
class TestArchiveCli : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }
    void twoRunsAtOnceArchiveEachMessageOnce();
    void foreignQuitAllIsIgnored();
    void corpusIsArchivedWholeAndProvably();

private:
    std::unique_ptr<QProcess> start(const QStringList& arguments);
    QJsonObject finish(QProcess& process, int timeoutMs = 300000);
    int verify(const QString& folder, QByteArray* output);

    QString m_cli;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestArchiveCli::initTestCase() {
    if (!NotificationCenter::distributed()->isConnected()) {
        QSKIP("no D-Bus session bus (run the tests under dbus-run-session)");
    }
    m_cli = qEnvironmentVariable("TESSALY_CLI_PROGRAM");
    QVERIFY2(QFileInfo(m_cli).isExecutable(), qPrintable(m_cli));
}

std::unique_ptr<QProcess> TestArchiveCli::start(const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", m_dir->filePath("config"));
    environment.insert("XDG_DATA_HOME", m_dir->filePath("data"));
    process->setProcessEnvironment(environment);
    process->start(m_cli, arguments);
    return process;
}

QJsonObject TestArchiveCli::finish(QProcess& process, int timeoutMs) {
    if (!process.waitForFinished(timeoutMs)) {
        qWarning("tessaly-cli did not finish");
        process.kill();
        process.waitForFinished();
    }
    const QByteArray out = process.readAllStandardOutput();
    const QJsonObject summary = QJsonDocument::fromJson(out.trimmed().split('\n').last()).object();
    if (summary.isEmpty()) {
        qWarning("no summary: %s\n%s", out.constData(), process.readAllStandardError().constData());
    }
    return summary;
}

int TestArchiveCli::verify(const QString& folder, QByteArray* output) {
    QProcess process;
    process.start(m_cli, {"verify", folder});
    process.waitForFinished(300000);
    *output = process.readAllStandardOutput();
    return process.exitCode();
}

void TestArchiveCli::twoRunsAtOnceArchiveEachMessageOnce() {
    // An overlapping scheduled run, or the command line beside the application: both archive
    // the same folder into the same place at the same time.
    const QString in = m_dir->filePath("in");
    writeTwins(in);
    writeMessages(in, 20);
    const QString dest = m_dir->filePath("dest");
    auto first = start({"archive", "--json", "--dest", dest, in});
    auto second = start({"archive", "--json", "--dest", dest, in});
    const QJsonObject a = finish(*first);
    const QJsonObject b = finish(*second);
    QCOMPARE(first->exitCode(), 0);
    QCOMPARE(second->exitCode(), 0);
    // 26 files, 25 distinct messages: each made exactly once, by one run or the other.
    QCOMPARE(a["pdfs_made"].toInt() + b["pdfs_made"].toInt(), 25);
    QCOMPARE(a["already_archived"].toInt() + b["already_archived"].toInt(), 2 * 26 - 25);
    QCOMPARE(messagePdfs(dest), 25);
    QByteArray report;
    QCOMPARE(verify(dest, &report), 0);
    QVERIFY2(report.contains("verified 25 files of 25 messages: missing 0, changed 0"),
             report.constData());
}

void TestArchiveCli::foreignQuitAllIsIgnored() {
    // Another Tessaly (the desktop application quitting) tells its boxes to end while this
    // run renders: this run's boxes are not its boxes.
    const QString in = m_dir->filePath("in");
    writeMessages(in, 30);
    const QString dest = m_dir->filePath("dest");
    auto run = start({"archive", "--json", "--dest", dest, in});
    QTRY_VERIFY_WITH_TIMEOUT(messagePdfs(dest) > 0 || run->state() == QProcess::NotRunning, 120000);
    QVERIFY2(run->state() == QProcess::Running && messagePdfs(dest) < 30,
             "the orders must reach the run while it renders");
    NotificationCenter* center = NotificationCenter::distributed();
    center->post(boxprotocol::quitAll, boxprotocol::quitAllObject);
    center->post(boxprotocol::quitAll,
                 boxprotocol::sealed(boxprotocol::launcherToken(), boxprotocol::quitAllObject));
    const QJsonObject summary = finish(*run);
    QCOMPARE(run->exitCode(), 0);
    QVERIFY2(summary["pdfs_made"].toInt() == 30,
             QJsonDocument(summary).toJson(QJsonDocument::Compact).constData());
    QCOMPARE(summary["emergency_eml"].toInt(), 0);
    QCOMPARE(messagePdfs(dest), 30);
}

void TestArchiveCli::corpusIsArchivedWholeAndProvably() {
    const QString corpus = test::sharedCorpusDir();
    if (corpus.isEmpty()) {
        QSKIP("the shared corpus is not beside the repository");
    }
    const QString dest = m_dir->filePath("dest");
    auto run = start({"archive", "--json", "--dest", dest, corpus});
    const QJsonObject first = finish(*run, 900000);
    QVERIFY(!first.isEmpty());
    const int made = first["pdfs_made"].toInt();
    const int listed = first["unreadable"].toInt() + first["emergency_eml"].toInt() +
                       first["failed_twice"].toInt() + first["not_archived"].toInt();
    // Every message handed out has exactly one outcome; the message PDFs on disk are the ones
    // counted as made; everything not archived is listed with its reason.
    QCOMPARE(first["handed_out"].toInt(), first["found"].toInt());
    QCOMPARE(made + first["already_archived"].toInt() + listed, first["handed_out"].toInt());
    QCOMPARE(messagePdfs(dest), made);
    const QByteArray errors = test::readFile(first["error_report"].toString());
    const int lines = static_cast<int>(QString::fromUtf8(errors).count(
        QRegularExpression("^(Could not be read|Tried twice|Kept as an EML|Not "
                           "archived)",
                           QRegularExpression::MultilineOption)));
    QCOMPARE(lines, listed);

    // A second run makes nothing.
    auto again = start({"archive", "--json", "--dest", dest, corpus});
    const QJsonObject second = finish(*again, 900000);
    QCOMPARE(second["pdfs_made"].toInt(), 0);
    QCOMPARE(second["already_archived"].toInt(), first["already_archived"].toInt() + made);

    // The archive is searchable as soon as the job ends: a word of a message's subject, its
    // sender's address and a word of its body each find its PDF. The job indexed every file it
    // wrote for a message, so a crawl afterwards finds nothing new but the error report.
    for (const QStringList& terms :
         {QStringList{"--subject", "kool"}, QStringList{"--address", "null@kde.org"},
          QStringList{"--everywhere", "Moxfm"}}) {
        auto search = start(QStringList{"search", "--in", dest} + terms);
        QVERIFY(search->waitForFinished(60000));
        const QString found = QString::fromUtf8(search->readAllStandardOutput());
        QVERIFY2(search->exitCode() == 0 && found.contains("Kool Desktop Environment (KDE).pdf\n"),
                 qPrintable(terms.join(' ') + ": " + found));
    }
    auto indexing = start({"index", dest});
    QVERIFY(indexing->waitForFinished(900000));
    const QString crawled = QString::fromUtf8(indexing->readAllStandardOutput());
    const int reports = QFileInfo::exists(first["error_report"].toString()) ? 1 : 0;
    QVERIFY2(indexing->exitCode() == 0 &&
                 crawled.contains(QString("added %1, updated 0, removed 0").arg(reports)),
             qPrintable(crawled + QString::fromUtf8(indexing->readAllStandardError())));

    // The archive verifies; a PDF removed or changed afterwards is named.
    QByteArray report;
    QCOMPARE(verify(dest, &report), 0);
    QVERIFY2(report.contains(
                 QStringLiteral("of %1 messages: missing 0, changed 0")
                     .arg(made + first["emergency_eml"].toInt() + first["failed_twice"].toInt())
                     .toUtf8()),
             report.constData());
    QStringList pdfs;
    QDirIterator it(dest, {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext() && pdfs.size() < 2) {
        pdfs.append(it.next());
    }
    QCOMPARE(pdfs.size(), 2);
    QVERIFY(QFile::remove(pdfs[0]));
    QFile changed(pdfs[1]);
    QVERIFY(changed.open(QIODevice::Append));
    QCOMPARE(changed.write("\n%changed\n"), qint64(10));
    changed.close();
    QCOMPARE(verify(dest, &report), 2);
    QVERIFY2(report.contains(("missing\t" + pdfs[0] + "\n").toUtf8()), report.constData());
    QVERIFY2(report.contains(("changed\t" + pdfs[1] + "\n").toUtf8()), report.constData());
}

QTEST_GUILESS_MAIN(TestArchiveCli)
#include "tst_archivecli.moc"
