// The archive view's rows and texts, from a real job list with engines on a scripted page.

#include "archive/archivecontroller.h"
#include "archive/archiverows.h"
#include "fakewebview.h"
#include "platform/bus/notificationcenter.h"
#include "platform/prefs/preferencestore.h"
#include "render/localrenderengine.h"
#include "settings/accountkeys.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

using namespace tessaly;

namespace {

enum class Printing { Works, Fails, NeverAnswers };

const QString kMessage = "rubymail-attachment_emails-attachment_with_encoded_name.eml";

} // namespace

class TestArchiveRows : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void lastArchivedDateTexts_data();
    void lastArchivedDateTexts();
    void mediumDateTimeFollowsTheLocale_data();
    void mediumDateTimeFollowsTheLocale();
    void statusLineShowsTheLastStartedJob();
    void notesLastUntilTheSourceRunsAgain();
    void aOneOffJobWithFailuresStaysUntilDismissed();

private:
    RenderTool::Environment environment(Printing printing);
    std::unique_ptr<RenderTool> job(const QString& folder, Printing printing);
    QString mailFolder(const QString& name, int messages);

    QByteArray m_pdf;
    QElapsedTimer m_clock;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PreferenceStore> m_store;
};

void TestArchiveRows::initTestCase() {
    m_pdf = test::makePdf();
    m_clock.start();
}

void TestArchiveRows::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_store = std::make_unique<PreferenceStore>(m_dir->filePath("Tessaly.conf"));
    m_store->registerStandardDefaults();
    QDir().mkpath(m_dir->filePath("Archive"));
    m_store->setDestinationFolder(m_dir->filePath("Archive"));
}

void TestArchiveRows::cleanup() {
    m_store.reset();
    m_dir.reset();
}

RenderTool::Environment TestArchiveRows::environment(Printing printing) {
    RenderTool::Environment environment;
    environment.splitRoot = m_dir->filePath("split");
    environment.maxEngines = 1;
    environment.tickMs = 5;
    environment.makeEngine = [this, printing](const JobOptions& options) {
        auto* view = new test::FakeWebView;
        view->printNeverAnswers = printing == Printing::NeverAnswers;
        if (printing == Printing::Works) {
            view->printResults = QList<QByteArray>(50, m_pdf);
        }
        EngineTiming timing;
        timing.checkIntervalMs = 2;
        timing.watchdogMs = 600000;
        timing.now = [this] {
            return static_cast<double>(m_clock.elapsed());
        };
        auto engine = std::make_unique<LocalRenderEngine>(options, view, timing);
        view->setParent(engine.get()); // the engine's page goes with it
        return engine;
    };
    return environment;
}

std::unique_ptr<RenderTool> TestArchiveRows::job(const QString& folder, Printing printing) {
    JobOptions options;
    options.destFolder = m_dir->filePath("Archive");
    options.pdfFormat = "%Y/__subject__.pdf";
    options.attachmentFormat = "none";
    options.emlFormat = "none";
    options.emlFiles = {folder};
    auto tool = std::make_unique<RenderTool>(options, environment(printing));
    tool->setJobName(folder);
    return tool;
}

QString TestArchiveRows::mailFolder(const QString& name, int messages) {
    const QString folder = m_dir->filePath(name);
    for (int i = 0; i < messages; ++i) {
        QByteArray data = test::readDataFile(kMessage);
        data.replace("Subject: ", "Subject: " + QByteArray::number(i) + " ");
        test::writeFile(QStringLiteral("%1/m%2.eml").arg(folder).arg(i), data);
    }
    QDir().mkpath(folder);
    return folder;
}

void TestArchiveRows::lastArchivedDateTexts_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QVariant>("finished");
    QTest::addColumn<int>("numDone");
    QTest::addColumn<QString>("text");
    const QVariant date = QDateTime(QDate(2014, 1, 18), QTime(8, 16, 10), QTimeZone::utc());
    QTest::newRow("dropped files") << "" << date << 3 << "EML files done.";
    QTest::newRow("never finished") << "/m/Mail" << QVariant() << 3 << "Not Archived";
    QTest::newRow("unreadable date") << "/m/Mail" << QVariant("yesterday") << 0 << "Not Archived";
    QTest::newRow("PDFs added") << "/m/Mail" << date << 3
                                << "Last Archived: 18 Jan 2014 08:16:10  (3 PDFs added)";
    QTest::newRow("nothing new") << "dan@example.test" << date << 0
                                 << "Last Archived: 18 Jan 2014 08:16:10";
}

void TestArchiveRows::lastArchivedDateTexts() {
    QFETCH(QString, source);
    QFETCH(QVariant, finished);
    QFETCH(int, numDone);
    QFETCH(QString, text);
    if (finished.isValid()) {
        m_store->setValue(source + "__LastFinished", finished);
    }
    QCOMPARE(ArchiveRows::lastArchivedDate(*m_store, source, numDone, QLocale::c()), text);
}

void TestArchiveRows::mediumDateTimeFollowsTheLocale_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    // No weekday, no time zone, the month abbreviated; the locale's own order and words.
    QTest::newRow("C") << "C"
                       << "18 Jan 2014 20:16:10";
    QTest::newRow("en_US") << "en_US"
                           << "Jan 18, 2014 8:16:10 PM";
    QTest::newRow("de_DE") << "de_DE"
                           << "18. Jan. 2014 20:16:10";
    QTest::newRow("pt_BR") << "pt_BR"
                           << "18 de jan. de 2014 20:16:10";
}

void TestArchiveRows::mediumDateTimeFollowsTheLocale() {
    QFETCH(QString, locale);
    QFETCH(QString, text);
    const QDateTime when(QDate(2014, 1, 18), QTime(20, 16, 10));
    QCOMPARE(ArchiveRows::mediumDateTime(when, QLocale(locale)), text);
}

void TestArchiveRows::statusLineShowsTheLastStartedJob() {
    QCOMPARE(ArchiveRows::windowStatusLine({}), QString());
    auto empty = job(mailFolder("Empty/", 0), Printing::Works);
    auto waiting = job(mailFolder("Waiting", 1), Printing::Works);
    QCOMPARE(ArchiveRows::windowStatusLine({empty.get(), waiting.get()}), QString());
    QSignalSpy finished(empty.get(), &RenderTool::finished);
    empty->renderPDFs();
    QVERIFY(finished.wait(30000));
    // The folder's own name, without the slash that ends the job name.
    QCOMPARE(ArchiveRows::windowStatusLine({empty.get(), waiting.get()}), "Empty - 100%");

    auto stuck = job(mailFolder("Stuck", 2), Printing::NeverAnswers);
    stuck->renderPDFs();
    QTRY_COMPARE(stuck->numEmailsArchived(), 1);
    QCOMPARE(ArchiveRows::windowStatusLine({empty.get(), stuck.get(), waiting.get()}),
             "Stuck - 55%");
    stuck->cancel();
    QCOMPARE(ArchiveRows::lastPathComponent("dan@example.test"), "dan@example.test");
    QCOMPARE(ArchiveRows::lastPathComponent("/"), "/");
}

// A run with failures leaves its summary and error report; a cancelled run and a clean one
// leave nothing; a new job of the same name clears what the last one left.
void TestArchiveRows::notesLastUntilTheSourceRunsAgain() {
    const QString folder = mailFolder("Mail", 2);
    ArchiveRowNotes notes;
    {
        auto failing = job(folder, Printing::Fails);
        QSignalSpy finished(failing.get(), &RenderTool::finished);
        failing->renderPDFs();
        QVERIFY(finished.wait(30000));
        notes.jobFinished(failing.get(), false);
    }
    const ArchiveRowNotes::Note* note = notes.find(folder);
    QVERIFY(note);
    QVERIFY2(note->text().contains("failed twice 2"), qPrintable(note->text()));
    QVERIFY(QFile::exists(note->errorReportPath));

    // A note from a run that has gone is dropped once a new job of the name is listed, and not
    // before: other jobs leave it alone.
    auto other = job(mailFolder("Other", 1), Printing::Works);
    notes.forgetRestarted({other.get()});
    QVERIFY(notes.find(folder));
    auto again = job(folder, Printing::NeverAnswers);
    notes.forgetRestarted({again.get()});
    QVERIFY(!notes.find(folder));

    // An account's folder list, noted while its job runs, outlives the listing of that job.
    notes.errorFolderNames(folder, "refused\tthe password", again.get());
    notes.forgetRestarted({again.get()});
    QCOMPARE(notes.find(folder)->text(),
             "Folder names could not be loaded: refused\\tthe password");

    again->renderPDFs();
    QTRY_COMPARE(again->numEmailsArchived(), 1);
    again->cancel();
    notes.jobFinished(again.get(), false);
    QVERIFY2(notes.find(folder)->summary.isEmpty(), "a stopped job is no fault");

    auto clean = job(folder, Printing::Works);
    QSignalSpy cleanFinished(clean.get(), &RenderTool::finished);
    clean->renderPDFs();
    QVERIFY(cleanFinished.wait(30000));
    notes.jobFinished(clean.get(), false);
    QVERIFY(!notes.find(folder));

    notes.sourceNotStarted("dan@example.test", "no password is stored for dan@example.test");
    QCOMPARE(notes.find("dan@example.test")->text(),
             "Not started: no password is stored for dan@example.test");
}

void TestArchiveRows::aOneOffJobWithFailuresStaysUntilDismissed() {
    const QString source = mailFolder("Source", 0);
    m_store->setValue(accountkeys::folderItems, QStringList{source});
    ArchiveController controller(m_store.get(), NotificationCenter::distributed(),
                                 environment(Printing::Fails),
                                 [this] { return m_store->destinationFolder(); });
    ArchiveRowNotes notes;
    connect(&controller, &ArchiveController::jobFinished, this,
            [&notes](RenderTool* finished) { notes.jobFinished(finished, true); });
    QSignalSpy listChanged(&controller, &ArchiveController::jobListChanged);
    QVERIFY(controller.startEMLJob({mailFolder("Dropped", 1)}, {}, "Dropped files"));
    QTRY_VERIFY(controller.renderJobs().isEmpty());

    QList<ArchiveRow> rows = ArchiveRows::rows(controller, *m_store, notes, QLocale::c());
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[1].kind, ArchiveRow::Kind::FinishedOneOff);
    QCOMPARE(rows[1].label, "Dropped files");
    QCOMPARE(rows[1].message, "EML files done.");
    QVERIFY2(rows[1].note.contains("failed twice 1"), qPrintable(rows[1].note));
    QVERIFY(!rows[1].errorReportPath.isEmpty());
    notes.dismiss("Dropped files");
    rows = ArchiveRows::rows(controller, *m_store, notes, QLocale::c());
    QCOMPARE(rows.size(), 1);
}

QTEST_MAIN(TestArchiveRows)
#include "tst_archiverows.moc"
