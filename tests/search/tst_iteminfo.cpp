// The info panel's facts: what a folder holds (hidden files and "_" folders left out), a PDF's
// pages and tags, the panel's two text formats, and the zoom's item sizes.

#include "platform/pdf/pdfinfo.h"
#include "platform/prefs/preferencestore.h"
#include "search/iteminfo.h"
#include "search/searchzoom.h"
#include "testsupport.h"

#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QtTest>

using namespace tessaly;

namespace {

void writeTwoPagePdf(const QString& path) {
    QPdfWriter writer(path);
    QPainter painter(&writer);
    painter.drawText(100, 100, "one");
    writer.newPage();
    painter.drawText(100, 100, "two");
}

} // namespace

class TestItemInfo : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void folderCountsSkipHiddenAndUnderscoreFolders();
    void pdfGivesItsPagesAndTags();
    void otherFilesCountByExtension();
    void infoTextFormats();
    void zoomSizesFollowTheState_data();
    void zoomSizesFollowTheState();
    void zoomIsKeptInThePreferences();
};

void TestItemInfo::folderCountsSkipHiddenAndUnderscoreFolders() {
    QTemporaryDir dir;
    const QString root = dir.path() + "/Archive";
    test::writeFile(root + "/2020/a.pdf", QByteArray(1000, 'a'));
    test::writeFile(root + "/2020/01/b.PDF", QByteArray(200, 'b'));
    test::writeFile(root + "/2020/01/c.jpg", QByteArray(30, 'c'));
    test::writeFile(root + "/2020/01/d.TIFF", QByteArray(4, 'd'));
    test::writeFile(root + "/notes.txt", QByteArray(5, 'e'));
    test::writeFile(root + "/no extension", QByteArray(6, 'f'));
    // Left out: a hidden file, a hidden folder's files, and the contents of a "_" folder.
    test::writeFile(root + "/.hidden.pdf", QByteArray(7000, 'g'));
    test::writeFile(root + "/.cache/x.pdf", QByteArray(7000, 'h'));
    test::writeFile(root + "/2020/_x/y.pdf", QByteArray(7000, 'i'));
    test::writeFile(root + "/2020/_x/deeper/z.png", QByteArray(7000, 'j'));
    QVERIFY(QFile::link(root + "/2020", root + "/loop"));

    const ItemInfo info = ItemInfo::getFolderInfo(root);
    QVERIFY(info.isFolder);
    QCOMPARE(info.path, root);
    QCOMPARE(info.numPDFs, 2);
    QCOMPARE(info.numImages, 2);
    QCOMPARE(info.numOther, 2);
    QCOMPARE(info.totalBytes, 1000 + 200 + 30 + 4 + 5 + 6);
    QCOMPARE(ItemInfo::forPath(root), std::optional(info));

    // A stop asked for ends the walk before it counts.
    const std::atomic<bool> stop(true);
    QCOMPARE(ItemInfo::getFolderInfo(root, &stop).numPDFs, 0);
    QVERIFY(!ItemInfo::forPath(root + "/missing"));
    QVERIFY(!ItemInfo::forPath(QString()));
}

void TestItemInfo::pdfGivesItsPagesAndTags() {
    QTemporaryDir dir;
    const QString pdf = dir.path() + "/message.pdf";
    writeTwoPagePdf(pdf);
    QString error;
    QVERIFY2(PdfInfo::write(pdf, {{"Keywords", " work,  urgent ,,Ann <ann@example.com>"}}, &error),
             qPrintable(error));

    const ItemInfo info = ItemInfo::getFileInfo(pdf);
    QVERIFY(!info.isFolder);
    QCOMPARE(info.numPDFs, 1);
    QCOMPARE(info.numImages + info.numOther, 0);
    QCOMPARE(info.pageCount, 2);
    QCOMPARE(info.tags, "work, urgent, Ann <ann@example.com>");
    QCOMPARE(info.totalBytes, QFileInfo(pdf).size());
    QCOMPARE(info.created.isEmpty(), !QFileInfo(pdf).birthTime().isValid());
    // The whole year and the seconds, in the locale's order.
    const QDateTime when(QDate(2026, 12, 7), QTime(14, 54, 9));
    QCOMPARE(ItemInfo::createdText(when, QLocale(QLocale::German, QLocale::Germany)),
             "07.12.2026 14:54:09");
    QVERIFY(ItemInfo::createdText(when, QLocale(QLocale::English, QLocale::UnitedStates))
                .startsWith("12/7/2026 2:54:09"));
    QCOMPARE(ItemInfo::forPath(pdf), std::optional(info));

    // Not a PDF inside: one page, no tags, still its size.
    const QString broken = dir.path() + "/broken.pdf";
    test::writeFile(broken, "%PDF-1.4 nothing else");
    const ItemInfo brokenInfo = ItemInfo::getFileInfo(broken);
    QCOMPARE(brokenInfo.numPDFs, 1);
    QCOMPARE(brokenInfo.pageCount, 1);
    QVERIFY(brokenInfo.tags.isEmpty());
    QCOMPARE(brokenInfo.totalBytes, 21);
}

void TestItemInfo::otherFilesCountByExtension() {
    QTemporaryDir dir;
    test::writeFile(dir.path() + "/scan.Tif", "ii");
    test::writeFile(dir.path() + "/message.eml", "From: a");
    const ItemInfo image = ItemInfo::getFileInfo(dir.path() + "/scan.Tif");
    QCOMPARE(image.numImages, 1);
    QCOMPARE(image.pageCount, 1);
    const ItemInfo other = ItemInfo::getFileInfo(dir.path() + "/message.eml");
    QCOMPARE(other.numOther, 1);
    QCOMPARE(other.numPDFs + other.numImages, 0);
}

void TestItemInfo::infoTextFormats() {
    ItemInfo folder;
    folder.isFolder = true;
    folder.numPDFs = 3;
    folder.numImages = 1;
    folder.numOther = 12;
    folder.totalBytes = 2500000;
    QCOMPARE(ItemInfo::infoText(folder), "PDFs: 3\nImages: 1\nOther: 12\nSize: 2 MB");
    folder.totalBytes = 999999;
    QVERIFY(ItemInfo::infoText(folder).endsWith("Size: 0 MB"));

    ItemInfo file;
    file.created = "7/12/26 14:45 %1";
    file.pageCount = 2;
    file.totalBytes = 1234567;
    file.tags = "work, urgent";
    QCOMPARE(ItemInfo::infoText(file), "7/12/26 14:45 %1\nPages: 2\nSize: 1.2346 MB\nwork\nurgent");
    file.tags.clear();
    file.created.clear();
    file.totalBytes = 50;
    QCOMPARE(ItemInfo::infoText(file), "\nPages: 2\nSize: 0.0001 MB\n");
}

void TestItemInfo::zoomSizesFollowTheState_data() {
    QTest::addColumn<double>("state");
    QTest::addColumn<double>("clamped");
    QTest::addColumn<QSize>("item");
    QTest::addColumn<double>("text");
    QTest::addColumn<QSize>("image");
    QTest::newRow("smallest") << 0.0 << 0.0 << QSize(100, 200) << 100.0 << QSize(100, 95);
    QTest::newRow("default") << 0.3333 << 0.3333 << QSize(133, 228) << 75.0075 << QSize(133, 148);
    QTest::newRow("half") << 0.5 << 0.5 << QSize(200, 283) << 50.0 << QSize(200, 228);
    QTest::newRow("largest") << 1.0 << 1.0 << QSize(400, 450) << 35.0 << QSize(400, 410);
    QTest::newRow("below") << -1.0 << 0.0 << QSize(100, 200) << 100.0 << QSize(100, 95);
    QTest::newRow("above") << 2.0 << 1.0 << QSize(400, 450) << 35.0 << QSize(400, 410);
    QTest::newRow("no number") << qQNaN() << 0.3333 << QSize(133, 228) << 75.0075
                               << QSize(133, 148);
}

void TestItemInfo::zoomSizesFollowTheState() {
    QFETCH(double, state);
    QFETCH(double, clamped);
    QFETCH(QSize, item);
    QFETCH(double, text);
    QFETCH(QSize, image);
    const SearchZoom zoom(state);
    QCOMPARE(zoom.state(), clamped);
    QCOMPARE(zoom.itemSize(), item);
    QVERIFY(qAbs(zoom.textHeight() - text) < 0.01);
    QCOMPARE(zoom.imageSize(), image);
}

void TestItemInfo::zoomIsKeptInThePreferences() {
    QTemporaryDir dir;
    PreferenceStore store(dir.path() + "/prefs.conf");
    QCOMPARE(SearchZoom::fromPreferences(store).state(), SearchZoom::kDefaultState);
    SearchZoom(0.75).store(store);
    QCOMPARE(store.value("zoomState").toDouble(), 0.75);
    QCOMPARE(SearchZoom::fromPreferences(store), SearchZoom(0.75));
    store.setValue("zoomState", 7);
    QCOMPARE(SearchZoom::fromPreferences(store).state(), 1.0);
    store.setValue("zoomState", "large");
    QCOMPARE(SearchZoom::fromPreferences(store).state(), SearchZoom::kDefaultState);
}

QTEST_MAIN(TestItemInfo)
#include "tst_iteminfo.moc"
