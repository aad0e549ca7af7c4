// The search view driven like a user would, over a small archive of real PDFs and an index
// that knows them.
#include "app/searchview/searchpreview.h"
#include "app/searchview/searchresultsmodel.h"
#include "app/searchview/searchview.h"
#include "platform/pdf/pdfinfo.h"
#include "screenshots.h"
#include "search/archiveindex.h"
#include "search/searchsession.h"
#include "search/searchzoom.h"
#include "settings/accountkeys.h"
#include "testappcontext.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using namespace tessaly;

namespace {

constexpr int kWaitMs = 10000;

void writePdf(const QString& path, const QString& subject) {
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QPdfWriter writer(path);
    writer.setTitle(subject);
    QPainter painter(&writer);
    painter.setFont(QFont(QString(), 24));
    painter.drawText(QRect(0, 0, writer.width(), writer.height() / 4), Qt::AlignCenter, subject);
}

// Catches what the view hands to the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public Q_SLOTS:
    void open(const QUrl& url) { opened.append(url); }
};

} // namespace

class TestSearchView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void typingShowsTheMatchesWithTheirAttachments();
    void browsingGoesIntoFoldersAndBack();
    void contextMenuOffersTheAttachments();
    void spacePreviewsAndDragsCopyFileUrls();
    void zoomResizesTheGridAndIsKept();
    void infoPanelFollowsTheSelection();

private:
    QString addMessage(const QString& relative, const QString& subject, qint64 date);
    QListView* grid() const { return m_view->findChild<QListView*>(); }
    SearchResultsModel* model() const { return m_view->findChild<SearchResultsModel*>(); }
    QLineEdit* field(const QString& name) const;
    QToolButton* button(const QString& name) const;
    QStringList titles() const;
    QSlider* zoomSlider() const { return m_view->findChild<QSlider*>(); }
    QString infoText() const;
    QModelIndex indexOf(const QString& title) const;
    void activate(const QString& title);

    QTemporaryDir m_cache;
    std::unique_ptr<test::TestAppContext> m_app;
    std::unique_ptr<ArchiveIndex> m_index;
    std::unique_ptr<SearchView> m_view;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
    QString m_root;
    QString m_indexPath;
    QString m_report;
};

void TestSearchView::initTestCase() {
    // Thumbnails go to a cache of the test's own, not the user's.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cache.path()));
}

void TestSearchView::init() {
    m_app = std::make_unique<test::TestAppContext>();
    m_app->store().setValue(accountkeys::folderItems, QStringList{"/home/u/Mailbox"});
    m_root = m_app->generalDestination() + "/Mailbox";
    m_indexPath = m_app->folder("data") + "/index.sqlite";
    QString error;
    m_index = ArchiveIndex::open(m_indexPath, &error);
    QVERIFY2(m_index, qPrintable(error));
    addMessage("2019/11/2019-11-02-09.00.00Z Holiday plans.pdf", "Holiday plans", 1572685200);
    addMessage("2019/03/2019-03-05-12.34.56Z Rechnung aus München.pdf", "Rechnung aus München",
               1551789296);
    m_report =
        addMessage("2020/01/2020-01-07-08.00.00Z Report.pdf", "Quarterly report", 1578384000);
    test::writeFile(m_root + "/2020/01/2020-01-07-08.00.00Z Report (attachments)/chart.png",
                    "not really a picture");

    m_view = std::make_unique<SearchView>(*m_app, m_indexPath);
    m_tester = std::make_unique<QAbstractItemModelTester>(model());
    m_view->resize(900, 600);
    m_view->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
}

void TestSearchView::cleanup() {
    m_tester.reset();
    m_view.reset();
    m_index.reset();
    m_app.reset();
}

QString TestSearchView::addMessage(const QString& relative, const QString& subject, qint64 date) {
    const QString path = m_root + "/" + relative;
    writePdf(path, subject);
    IndexedFile file;
    file.path = path;
    file.root = m_root;
    file.kind = "pdf";
    file.displayName = QFileInfo(path).fileName();
    file.title = subject;
    file.authors = "Ann <ann@example.com>";
    file.keywords = "ann@example.com";
    file.textContent = subject;
    file.contentDate = date;
    file.mtimeNs = 1;
    file.size = QFileInfo(path).size();
    if (!m_index->upsert({file})) {
        qWarning() << m_index->lastError();
    }
    return path;
}

QLineEdit* TestSearchView::field(const QString& name) const {
    for (QLineEdit* edit : m_view->findChildren<QLineEdit*>()) {
        if (edit->accessibleName() == name) {
            return edit;
        }
    }
    return nullptr;
}

QToolButton* TestSearchView::button(const QString& name) const {
    for (QToolButton* tool : m_view->findChildren<QToolButton*>()) {
        if (tool->text() == name) {
            return tool;
        }
    }
    return nullptr;
}

QString TestSearchView::infoText() const {
    for (QLabel* label : m_view->findChildren<QLabel*>()) {
        if (label->accessibleName() == "Item Info") {
            return label->text();
        }
    }
    return "no info panel";
}

QStringList TestSearchView::titles() const {
    QStringList list;
    for (int row = 0; row < model()->rowCount(); ++row) {
        list.append(model()->index(row).data().toString());
    }
    return list;
}

QModelIndex TestSearchView::indexOf(const QString& title) const {
    const int row = int(titles().indexOf(title));
    return row < 0 ? QModelIndex() : model()->index(row);
}

void TestSearchView::activate(const QString& title) {
    const QModelIndex index = indexOf(title);
    QVERIFY2(index.isValid(), qPrintable(title));
    const QPoint center = grid()->visualRect(index).center();
    QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {}, center);
    QTest::mouseDClick(grid()->viewport(), Qt::LeftButton, {}, center);
}

void TestSearchView::typingShowsTheMatchesWithTheirAttachments() {
    QLineEdit* subject = field("Subject");
    QVERIFY(subject && field("Email Addresses") && field("Search Everything"));
    QCOMPARE(subject->placeholderText(), "Subject");
    QLabel* count = m_view->findChild<QLabel*>();
    QVERIFY(count);

    // Case and accents do not matter.
    QTest::keyClicks(subject, "munchen");
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"Rechnung aus München"}, kWaitMs);
    QTRY_COMPARE(count->text(), "1 files (done)");

    // A message is followed by the files of its attachments folder.
    subject->clear();
    QTest::keyClicks(field("Search Everything"), "quarterly");
    QTRY_COMPARE_WITH_TIMEOUT(titles(), (QStringList{"Quarterly report", "chart.png"}), kWaitMs);
    QTRY_COMPARE(count->text(), "2 files (done)"); // what is shown is what is counted
    QVERIFY(model()->index(0).data(SearchResultsModel::HasAttachmentsRole).toBool());
    QVERIFY(model()->index(1).data(SearchResultsModel::IsAttachmentRole).toBool());
    // The PDF's page replaces the file-type icon, which is drawn smaller, in the middle.
    const auto pageShown = [this] {
        const QIcon icon = model()->index(0).data(Qt::DecorationRole).value<QIcon>();
        const QImage image = icon.pixmap(grid()->iconSize()).toImage();
        return qAlpha(image.pixel(image.width() / 2, 10)) > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(pageShown(), kWaitMs);

    // A message archived meanwhile joins the open search; the selection stays on its item.
    const QString report = model()->itemAt(0).path();
    grid()->setCurrentIndex(model()->index(0));
    addMessage("2021/06/2021-06-01 09.00.00Z  Quarterly plan.pdf", "Quarterly plan", 1622538000);
    m_view->session().indexChanged();
    QTRY_COMPARE_WITH_TIMEOUT(
        titles(), (QStringList{"Quarterly plan", "Quarterly report", "chart.png"}), kWaitMs);
    const QModelIndexList selected = grid()->selectionModel()->selectedIndexes();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(model()->itemAt(selected.first().row()).path(), report);
    QCOMPARE(grid()->currentIndex().row(), selected.first().row());

    // Text the query language would read as syntax is looked for as it stands.
    field("Search Everything")->clear();
    QTest::keyClicks(field("Search Everything"), "\"NEAR(^-* ' OR 1=1 --");
    QTRY_COMPARE_WITH_TIMEOUT(count->text(), "0 files (done)", kWaitMs);
    QVERIFY(titles().isEmpty());
    test::saveScreenshots(m_view.get(), "search-view-empty");
}

void TestSearchView::browsingGoesIntoFoldersAndBack() {
    QToolButton* back = button("Back");
    QVERIFY(back && button("Home"));
    // Nothing typed: the archive roots.
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"Mailbox"}, kWaitMs);
    activate("Mailbox");
    QTRY_COMPARE_WITH_TIMEOUT(titles(), (QStringList{"2019", "2020"}), kWaitMs);
    QTRY_VERIFY(back->isEnabled());

    // Enter opens a folder as a double click does; months come in order, by their names.
    grid()->setFocus();
    grid()->setCurrentIndex(indexOf("2019"));
    QTest::keyClick(grid(), Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(
        titles(), (QStringList{SearchItem::getMonthName(3), SearchItem::getMonthName(11)}),
        kWaitMs);
    // The pop-up names the chain of places down to this one, then its sub-folders indented.
    auto* places = m_view->findChild<QComboBox*>();
    QVERIFY(places);
    QStringList entries;
    for (int i = 0; i < places->count(); ++i) {
        entries.append(places->itemText(i));
    }
    QCOMPARE(entries, (QStringList{"All Archives", "  Mailbox", "    2019",
                                   "      " + SearchItem::getMonthName(3),
                                   "      " + SearchItem::getMonthName(11)}));
    QCOMPARE(places->currentText(), "    2019");

    activate(SearchItem::getMonthName(11));
    // Browsed files are named by their file names, without the archive's date stamp.
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"Holiday plans"}, kWaitMs);
    test::saveScreenshots(m_view.get(), "search-view");

    back->click();
    QTRY_COMPARE_WITH_TIMEOUT(
        titles(), (QStringList{SearchItem::getMonthName(3), SearchItem::getMonthName(11)}),
        kWaitMs);
    QCOMPARE(m_view->session().pathConstraint(), m_root + "/2019");

    // The path bar shows where the selection lives; its root button makes the root the place.
    grid()->setCurrentIndex(indexOf(SearchItem::getMonthName(3)));
    QCOMPARE(m_view->pathToShow(), m_root + "/2019/03");
    QTRY_VERIFY(button("Mailbox") && button("Mailbox")->isVisible());
    button("Mailbox")->click();
    QTRY_COMPARE_WITH_TIMEOUT(titles(), (QStringList{"2019", "2020"}), kWaitMs);
    // Choosing "All Archives" in the pop-up leaves the place.
    places->setCurrentIndex(0);
    Q_EMIT places->activated(0);
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"Mailbox"}, kWaitMs);
    activate("Mailbox");
    QTRY_COMPARE_WITH_TIMEOUT(titles(), (QStringList{"2019", "2020"}), kWaitMs);

    button("Home")->click();
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"Mailbox"}, kWaitMs);
}

void TestSearchView::contextMenuOffersTheAttachments() {
    QTest::keyClicks(field("Email Addresses"), "ann");
    QTest::keyClicks(field("Subject"), "report");
    QTRY_COMPARE_WITH_TIMEOUT(titles(), (QStringList{"Quarterly report", "chart.png"}), kWaitMs);

    const auto menuAt = [this](const QString& title) -> QMenu* {
        Q_EMIT grid()->customContextMenuRequested(grid()->visualRect(indexOf(title)).center());
        QMenu* menu = m_view->findChild<QMenu*>();
        return menu && menu->isVisible() ? menu : nullptr;
    };
    const auto texts = [](const QMenu* menu) {
        QStringList list;
        for (const QAction* action : menu->actions()) {
            list.append(action->text());
        }
        return list;
    };
    QMenu* menu = menuAt("chart.png");
    QVERIFY(menu);
    QCOMPARE(texts(menu), (QStringList{"Open", "Show in Folder"}));
    // No file manager answers on the test's bus: the folder is opened instead.
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    menu->actions().at(0)->trigger();
    menu->actions().at(1)->trigger();
    const QString chart = m_root + "/2020/01/2020-01-07-08.00.00Z Report (attachments)/chart.png";
    QTRY_COMPARE(catcher.opened,
                 (QList<QUrl>{QUrl::fromLocalFile(chart),
                              QUrl::fromLocalFile(QFileInfo(chart).absolutePath())}));
    QDesktopServices::unsetUrlHandler("file");
    menu->close();
    QTRY_VERIFY(!m_view->findChild<QMenu*>());

    menu = menuAt("Quarterly report");
    QVERIFY(menu);
    QCOMPARE(texts(menu), (QStringList{"Open", "Show in Folder", "Show Attachments"}));
    // The attachments folder becomes the place, shown whole: the fields are emptied.
    menu->actions().last()->trigger();
    menu->close();
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"chart.png"}, kWaitMs);
    QVERIFY(field("Subject")->text().isEmpty());
    QVERIFY(field("Email Addresses")->text().isEmpty());
    QCOMPARE(m_view->session().pathConstraint(),
             m_root + "/2020/01/2020-01-07-08.00.00Z Report (attachments)");
}

void TestSearchView::spacePreviewsAndDragsCopyFileUrls() {
    QTest::keyClicks(field("Subject"), "holiday");
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"Holiday plans"}, kWaitMs);
    const QModelIndex holiday = model()->index(0);

    std::unique_ptr<QMimeData> drag(model()->mimeData({holiday}));
    QVERIFY(drag);
    QCOMPARE(drag->urls(), QList<QUrl>{QUrl::fromLocalFile(
                               m_root + "/2019/11/2019-11-02-09.00.00Z Holiday plans.pdf")});
    QCOMPARE(model()->supportedDragActions(), Qt::CopyAction);
    QVERIFY(model()->flags(holiday) & Qt::ItemIsDragEnabled);

    grid()->setFocus();
    grid()->setCurrentIndex(holiday);
    QTest::keyClick(grid(), Qt::Key_Space);
    QPointer<SearchPreview> preview = m_view->findChild<SearchPreview*>();
    QVERIFY(preview);
    QTRY_VERIFY(preview->isVisible());
    QCOMPARE(preview->presentation(), "pdf");
    QCOMPARE(preview->windowModality(), Qt::WindowModal);
    QTest::keyClick(preview, Qt::Key_Escape);
    QTRY_VERIFY(!preview);

    // Space again opens it again, and Space closes it.
    QTest::keyClick(grid(), Qt::Key_Space);
    preview = m_view->findChild<SearchPreview*>();
    QVERIFY(preview);
    QTest::keyClick(preview, Qt::Key_Space);
    QTRY_VERIFY(!preview);
}

void TestSearchView::zoomResizesTheGridAndIsKept() {
    QSlider* slider = zoomSlider();
    QVERIFY(slider);
    QCOMPARE(slider->accessibleName(), "Zoom");
    QCOMPARE(slider->value(), 333);
    QCOMPARE(grid()->gridSize(), QSize(173, 268));
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"Mailbox"}, kWaitMs);

    slider->setValue(1000);
    QCOMPARE(m_app->store().value("zoomState").toDouble(), 1.0);
    QCOMPARE(grid()->gridSize(), QSize(440, 490));
    QCOMPARE(grid()->iconSize(), QSize(400, 410));
    // Thumbnails follow once the slider rests, drawn at the new size.
    QTRY_COMPARE(model()->thumbnailSize(), QSize(400, 410));
    QCOMPARE(model()->index(0).data(Qt::DecorationRole).value<QIcon>().availableSizes(),
             QList<QSize>{QSize(400, 410)});

    // Another window changed it: the view takes it up again when shown.
    m_app->store().setValue("zoomState", 0.0);
    m_view->viewIsAppearring();
    QTRY_COMPARE(slider->value(), 0);
    QCOMPARE(grid()->gridSize(), QSize(140, 240));
    QCOMPARE(model()->thumbnailSize(), QSize(100, 95));
}

void TestSearchView::infoPanelFollowsTheSelection() {
    // Nothing selected: the only archive root, counted whole.
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"Mailbox"}, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(infoText(), "PDFs: 3\nImages: 1\nOther: 0\nSize: 0 MB", kWaitMs);
    // The archive grows while the application runs: shown again, the view counts again.
    test::writeFile(m_root + "/2020/01/notes.txt", "x");
    m_view->viewIsAppearring();
    QTRY_COMPARE_WITH_TIMEOUT(infoText(), "PDFs: 3\nImages: 1\nOther: 1\nSize: 0 MB", kWaitMs);

    const QString holiday = m_root + "/2019/11/2019-11-02-09.00.00Z Holiday plans.pdf";
    QString error;
    QVERIFY2(PdfInfo::write(holiday, {{"Keywords", "ann@example.com, travel"}}, &error),
             qPrintable(error));
    QTest::keyClicks(field("Subject"), "holiday");
    QTRY_COMPARE_WITH_TIMEOUT(titles(), QStringList{"Holiday plans"}, kWaitMs);
    grid()->setCurrentIndex(model()->index(0));
    const QRegularExpression fileInfo(
        "^.*\\nPages: 1\\nSize: 0\\.\\d{4} MB\\nann@example.com\\ntravel$");
    QTRY_VERIFY_WITH_TIMEOUT(fileInfo.match(infoText()).hasMatch(), kWaitMs);

    // Zoomed in on a month at full size, the selected message's facts beside the grid.
    field("Subject")->clear();
    m_view->resize(1280, 800);
    zoomSlider()->setValue(600);
    m_view->session().setPathConstraint(m_root + "/2020/01");
    QTRY_COMPARE_WITH_TIMEOUT(
        titles(), (QStringList{"notes.txt", "Report", "chart.png", "Report (attachments)"}),
        kWaitMs);
    grid()->setCurrentIndex(indexOf("Report"));
    QTRY_VERIFY_WITH_TIMEOUT(infoText().contains("Pages: 1"), kWaitMs);
    const auto pageShown = [this] {
        const QIcon icon = indexOf("Report").data(Qt::DecorationRole).value<QIcon>();
        const QImage image = icon.pixmap(grid()->iconSize()).toImage();
        return qAlpha(image.pixel(image.width() / 2, 10)) > 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(pageShown(), kWaitMs);
    test::saveScreenshots(m_view.get(), "search-view-zoomed");
}

QTEST_MAIN(TestSearchView)
#include "tst_searchview.moc"
