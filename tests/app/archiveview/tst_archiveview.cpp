// The archive view driven like a user would, over a real job list whose engines print on a
// scripted page.

#include "app/archiveview/archivecellview.h"
#include "app/archiveview/archiveview.h"
#include "fakewebview.h"
#include "platform/bus/notificationcenter.h"
#include "render/localrenderengine.h"
#include "renderbox/boxprotocol.h"
#include "screenshots.h"
#include "settings/accountkeys.h"
#include "testappcontext.h"
#include "testsupport.h"

#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace tessaly;

namespace {

enum class Printing { Works, Fails };

// A message takes this long to print in the slow tests: longer than a table refresh, so that
// a running job is seen moving.
constexpr int kSlowMs = 2500;
constexpr int kWaitMs = 20000;

// Three different messages (the samples include copies of one message under other names).
const QStringList kMessages = {
    "rubymail-attachment_emails-attachment_content_location.eml",
    "rubymail-attachment_emails-attachment_with_base64_encoded_name.eml",
    "rubymail-rfc6532-utf8_headers.eml",
};

// A page that takes its time to print, so that a job can be watched while it runs.
class SlowWebView : public test::FakeWebView {
public:
    int delayMs = 0;

    void printToPdf(const QPageLayout& layout,
                    std::function<void(const QByteArray&)> callback) override {
        QTimer::singleShot(delayMs, this,
                           [this, layout, callback] { FakeWebView::printToPdf(layout, callback); });
    }
};

// Catches what the view hands to the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url); }
};

bool shown(const QWidget* widget) {
    return widget && widget->isVisibleTo(widget->window());
}

} // namespace

class TestArchiveView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void startShowsProgressAndStopGoesBack();
    void aCompletedRunShowsThePDFsAdded();
    void aFailedMessageOffersTheErrorReport();
    void oneOffJobsFollowTheSourcesAndStopOnTheirOwn();
    void aSourceThatCannotStartSaysWhy();
    void emptyStateKeyboardAndPreferences();

private:
    RenderTool::Environment environment();
    QString mailFolder(const QString& name, int messages);
    void addFolderSource(const QString& folder);
    QList<ArchiveCellView*> cells() const;
    ArchiveCellView* cell(const QString& jobName) const;
    static QPushButton* button(ArchiveCellView* cell, const char* name);
    static QString message(ArchiveCellView* cell);

    QByteArray m_pdf;
    QElapsedTimer m_clock;
    // Read by the engines as they are made: how the next job's pages print.
    Printing m_printing = Printing::Works;
    int m_delayMs = 0;
    std::unique_ptr<test::TestAppContext> m_app;
    std::unique_ptr<ArchiveView> m_view;
};

void TestArchiveView::initTestCase() {
    m_pdf = test::makePdf();
    m_clock.start();
    QVERIFY2(NotificationCenter::distributed()->isConnected(),
             "the tests run on a private session bus");
}

void TestArchiveView::init() {
    m_printing = Printing::Works;
    m_delayMs = 0;
    m_app = std::make_unique<test::TestAppContext>(environment());
    m_view = std::make_unique<ArchiveView>(*m_app);
    m_view->resize(800, 500);
    m_view->show();
}

void TestArchiveView::cleanup() {
    m_view.reset();
    m_app.reset();
}

RenderTool::Environment TestArchiveView::environment() {
    RenderTool::Environment environment;
    environment.maxEngines = 1;
    environment.tickMs = 20;
    environment.makeEngine = [this](const JobOptions& options) {
        auto* view = new SlowWebView;
        view->delayMs = m_delayMs;
        if (m_printing == Printing::Works) {
            view->printResults = QList<QByteArray>(50, m_pdf);
        }
        EngineTiming timing;
        timing.checkIntervalMs = 2;
        timing.watchdogMs = 600000;
        timing.now = [this] {
            return static_cast<double>(m_clock.elapsed());
        };
        auto engine = std::make_unique<LocalRenderEngine>(options, view, timing);
        view->setParent(engine.get());
        // Announced over the bus as a render box announces its PDFs.
        QObject::connect(engine.get(), &MessageToHTMLToPDF::anotherPDFMade, [](const QString& job) {
            NotificationCenter::distributed()->post(
                boxprotocol::anotherPDFMade,
                boxprotocol::sealed(boxprotocol::launcherToken(), job));
        });
        return engine;
    };
    return environment;
}

QString TestArchiveView::mailFolder(const QString& name, int messages) {
    const QString folder = m_app->folder(name);
    for (int i = 0; i < messages; ++i) {
        test::writeFile(folder + "/" + kMessages[i], test::readDataFile(kMessages[i]));
    }
    return folder;
}

void TestArchiveView::addFolderSource(const QString& folder) {
    QStringList folders = m_app->store().stringListValue(accountkeys::folderItems);
    folders.append(folder);
    m_app->store().setValue(accountkeys::folderItems, folders);
    m_view->reloadTable();
}

QList<ArchiveCellView*> TestArchiveView::cells() const {
    QList<ArchiveCellView*> visible;
    for (ArchiveCellView* cell : m_view->findChildren<ArchiveCellView*>()) {
        if (shown(cell)) {
            visible.append(cell);
        }
    }
    return visible;
}

ArchiveCellView* TestArchiveView::cell(const QString& jobName) const {
    for (ArchiveCellView* cell : cells()) {
        if (cell->row().jobName == jobName) {
            return cell;
        }
    }
    return nullptr;
}

QPushButton* TestArchiveView::button(ArchiveCellView* cell, const char* name) {
    return cell ? cell->findChild<QPushButton*>(QString::fromLatin1(name)) : nullptr;
}

QString TestArchiveView::message(ArchiveCellView* cell) {
    return cell ? cell->findChild<QLabel*>("message")->text() : QString();
}

// Start shows the stop button and a moving bar and message; the status line names the job;
// stop cancels and the row reads as before.
void TestArchiveView::startShowsProgressAndStopGoesBack() {
    m_delayMs = kSlowMs;
    m_app->store().setValue(accountkeys::emailAccounts, QStringList{"dan@example.test"});
    const QString folder = mailFolder("Mail", 3);
    addFolderSource(folder);
    ArchiveCellView* row = cell(folder);
    QVERIFY(row);
    QCOMPARE(message(row), "Not Archived");
    QVERIFY(shown(button(row, "start")));
    QVERIFY(!shown(button(row, "stop")));
    QVERIFY(!shown(row->findChild<QProgressBar*>()));
    QCOMPARE(button(row, "start")->accessibleName(), "Start archiving " + folder);

    QSignalSpy statusLines(m_view.get(), &ArchiveView::statusLineChanged);
    QTest::mouseClick(button(row, "start"), Qt::LeftButton);
    QCOMPARE(m_app->startedSources, QStringList{folder});
    QVERIFY(shown(button(row, "stop")));
    QVERIFY(!shown(button(row, "start")));
    auto* bar = row->findChild<QProgressBar*>();
    QVERIFY(shown(bar));
    QCOMPARE(bar->accessibleName(), "Archiving progress of " + folder);

    // The table follows the job every two seconds.
    QTRY_VERIFY_WITH_TIMEOUT(message(row).startsWith("Archiving… "), kWaitMs);
    const QString first = message(row);
    const int firstValue = bar->value();
    QVERIFY(firstValue > 0);
    QTRY_VERIFY_WITH_TIMEOUT(message(row) != first, kWaitMs);
    QVERIFY(bar->value() > firstValue);
    QVERIFY2(!message(row).contains("%d"), qPrintable(message(row)));

    QTRY_VERIFY_WITH_TIMEOUT(!statusLines.isEmpty(), kWaitMs);
    QVERIFY2(QRegularExpression("^Mail - [1-9][0-9]?%$")
                 .match(statusLines.last().at(0).toString())
                 .hasMatch(),
             qPrintable(statusLines.last().at(0).toString()));
    test::saveScreenshots(m_view.get(), "archive-view-running");

    QTest::mouseClick(button(row, "stop"), Qt::LeftButton);
    QVERIFY(m_app->archiveController().renderJobs().isEmpty());
    QCOMPARE(message(row), "Not Archived");
    QVERIFY(shown(button(row, "start")));
    QVERIFY(!shown(row->findChild<QProgressBar*>()));
    QVERIFY(!shown(row->findChild<QLabel*>("note")));
    statusLines.clear();
    QTRY_VERIFY_WITH_TIMEOUT(!statusLines.isEmpty(), kWaitMs);
    QCOMPARE(statusLines.last().at(0).toString(), QString());
}

void TestArchiveView::aCompletedRunShowsThePDFsAdded() {
    const QString folder = mailFolder("Done", 2);
    addFolderSource(folder);
    ArchiveCellView* row = cell(folder);
    QTest::mouseClick(button(row, "start"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_app->archiveController().renderJobs().isEmpty(), kWaitMs);
    QTRY_VERIFY2_WITH_TIMEOUT(message(row).endsWith("  (2 PDFs added)"), qPrintable(message(row)),
                              kWaitMs);
    QVERIFY2(message(row).startsWith("Last Archived: "), qPrintable(message(row)));
    QVERIFY(shown(button(row, "start")));
    QVERIFY(!shown(button(row, "openErrorReport")));
    QVERIFY(!shown(row->findChild<QLabel*>("note")));
}

// A message that cannot be archived leaves the summary and the error report in the row until
// the source runs again.
void TestArchiveView::aFailedMessageOffersTheErrorReport() {
    m_printing = Printing::Fails;
    const QString folder = mailFolder("Broken", 1);
    addFolderSource(folder);
    ArchiveCellView* row = cell(folder);
    QTest::mouseClick(button(row, "start"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_app->archiveController().renderJobs().isEmpty(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(shown(button(row, "openErrorReport")), kWaitMs);
    const QString note = row->findChild<QLabel*>("note")->text();
    QVERIFY2(note.contains("failed twice 1"), qPrintable(note));
    QCOMPARE(button(row, "openErrorReport")->accessibleName(),
             "Open the error report of " + folder);

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    QTest::mouseClick(button(row, "openErrorReport"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(catcher.opened.size(), 1);
    QVERIFY(catcher.opened[0].toLocalFile().endsWith("/Errors.txt"));
    QVERIFY(QFile::exists(catcher.opened[0].toLocalFile()));

    m_printing = Printing::Works;
    m_delayMs = kSlowMs;
    QTest::mouseClick(button(row, "start"), Qt::LeftButton);
    QVERIFY(!shown(button(row, "openErrorReport")));
    QVERIFY(!shown(row->findChild<QLabel*>("note")));
    QTest::mouseClick(button(row, "stop"), Qt::LeftButton);
}

// Jobs of dropped files come after the sources; two of them may share a name, and each row's
// stop button stops its own.
void TestArchiveView::oneOffJobsFollowTheSourcesAndStopOnTheirOwn() {
    m_delayMs = kSlowMs;
    addFolderSource(mailFolder("Source", 1));
    ArchiveController& controller = m_app->archiveController();
    RenderTool* first = controller.startEMLJob({mailFolder("DropA", 2)}, {}, {});
    RenderTool* second = controller.startEMLJob({mailFolder("DropB", 2)}, {}, {});
    QVERIFY(first && second);
    QCOMPARE(first->jobName(), second->jobName());
    QList<ArchiveCellView*> rows = cells();
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[1]->row().label, "1 EML files to Archive");
    QCOMPARE(rows[1]->row().job.data(), first);
    QCOMPARE(rows[2]->row().job.data(), second);
    QVERIFY(!shown(button(rows[2], "start")));
    QCOMPARE(message(rows[2]), "Waiting");

    QTest::mouseClick(button(rows[2], "stop"), Qt::LeftButton);
    QCOMPARE(controller.renderJobs(), QList<RenderTool*>{first});
    QVERIFY(!first->wasCancelled());
    QTRY_COMPARE(cells().size(), 2);
    QTest::mouseClick(button(cells()[1], "stop"), Qt::LeftButton);
    QVERIFY(controller.renderJobs().isEmpty());
    QTRY_COMPARE(cells().size(), 1);
}

void TestArchiveView::aSourceThatCannotStartSaysWhy() {
    m_app->store().setValue(accountkeys::emailAccounts, QStringList{"dan@example.test"});
    m_view->reloadTable();
    ArchiveCellView* row = cell("dan@example.test");
    QVERIFY(row);
    QTest::mouseClick(button(row, "start"), Qt::LeftButton);
    QVERIFY(m_app->archiveController().renderJobs().isEmpty());
    // Once the keyring has answered: it may take its time, and the window does not wait.
    auto* note = row->findChild<QLabel*>("note");
    QTRY_VERIFY(shown(note));
    QCOMPARE(note->text(), "Not started: no password is stored for dan@example.test");
    QCOMPARE(message(row), "Not Archived");
}

// Without sources the view says how to get one; a source added in the settings shows up
// after the preferences settle; the row buttons follow each other on Tab, and clicking a row
// selects nothing.
void TestArchiveView::emptyStateKeyboardAndPreferences() {
    auto* empty = m_view->findChild<QLabel*>("emptyState");
    QVERIFY(shown(empty));
    QVERIFY(empty->text().contains("Settings"));
    QVERIFY(cells().isEmpty());

    const QString one = mailFolder("One", 1);
    const QString two = mailFolder("Two", 1);
    m_app->store().setValue(accountkeys::folderItems, QStringList{one, two});
    QTRY_COMPARE(cells().size(), 2);
    QVERIFY(!shown(empty));

    m_view->activateWindow();
    button(cell(one), "start")->setFocus();
    QTRY_VERIFY(button(cell(one), "start")->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY(button(cell(two), "start")->hasFocus());

    QTest::mouseClick(cell(one)->findChild<QLabel*>("label"), Qt::LeftButton);
    QVERIFY(button(cell(two), "start")->hasFocus());
    QCOMPARE(cell(one)->focusPolicy(), Qt::NoFocus);
}

QTEST_MAIN(TestArchiveView)
#include "tst_archiveview.moc"
