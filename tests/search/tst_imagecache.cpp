// Thumbnails for the grid: one making per key however many ask, nothing kept for files that
// cannot be drawn, and the shared disk cache written as other applications expect and trusted
// only while the file is unchanged.

#include "search/imagecache.h"
#include "testsupport.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QtTest>

using namespace tessaly;

namespace {

QByteArray pngOf(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QByteArray onePagePdf() {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    QPainter painter(&writer);
    painter.fillRect(QRect(0, 0, writer.width(), writer.height()), Qt::blue);
    painter.end();
    return bytes;
}

// The text chunks of a PNG by type and key, read straight from its bytes.
QMap<QByteArray, QByteArray> textChunks(const QByteArray& png) {
    QMap<QByteArray, QByteArray> text;
    qsizetype at = 8;
    while (at + 12 <= png.size()) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
        const QByteArray type = png.mid(at + 4, 4);
        const QByteArray body = png.mid(at + 8, length);
        if (type == "tEXt") {
            const qsizetype zero = body.indexOf('\0');
            text.insert(body.left(zero), body.mid(zero + 1));
        }
        at += 12 + length;
    }
    return text;
}

// Asks until an answer comes: the image at once, or through the completion.
QImage imageOf(ImageCache& cache, const QString& path, QSize size) {
    QImage result;
    bool called = false;
    result = cache.imageForPath(path, size, false, [&](const QImage& image) {
        result = image;
        called = true;
    });
    if (result.isNull()) {
        [&] {
            QTRY_VERIFY(called);
        }();
    }
    return result;
}

} // namespace

class TestImageCache : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void makesOneImagePerKeyForEveryAsker() {
        QTemporaryDir dir;
        const QString path = dir.filePath("photo.png");
        QImage red(400, 200, QImage::Format_RGB32);
        red.fill(Qt::red);
        test::writeFile(path, pngOf(red));
        ImageCache cache(dir.filePath("thumbnails"));

        QList<QImage> delivered;
        auto collect = [&](const QImage& image) {
            delivered.append(image);
        };
        QVERIFY(cache.imageForPath(path, QSize(100, 100), false, collect).isNull());
        QVERIFY(cache.imageForPath(path, QSize(100, 100), false, collect).isNull());
        QTRY_COMPARE(delivered.size(), 2);
        QCOMPARE(cache.constructions(), 1);
        QCOMPARE(delivered.at(0).size(), QSize(100, 50));
        QCOMPARE(delivered.at(1).pixelColor(50, 25), QColor(Qt::red));

        // Kept: given at once, and the completion is not called again.
        const QImage kept = cache.imageForPath(path, QSize(100, 100), false, collect);
        QCOMPARE(kept.size(), QSize(100, 50));
        QTest::qWait(50);
        QCOMPARE(delivered.size(), 2);
    }

    void keepsNothingForFilesItCannotDraw() {
        QTemporaryDir dir;
        const QString path = dir.filePath("notes.txt");
        test::writeFile(path, "plain words, no picture");
        ImageCache cache(dir.filePath("thumbnails"));
        QVERIFY(imageOf(cache, path, QSize(64, 64)).isNull());
        QVERIFY(imageOf(cache, path, QSize(64, 64)).isNull());
        QCOMPARE(cache.constructions(), 2);
        QVERIFY(imageOf(cache, dir.filePath("gone.pdf"), QSize(64, 64)).isNull());
        QVERIFY(!QFile::exists(dir.filePath("thumbnails")));
    }

    void sharesThumbnailsOnDiskWhileTheFileIsUnchanged() {
        QTemporaryDir dir;
        const QString path = dir.filePath("my message.pdf");
        test::writeFile(path, onePagePdf());
        const QString root = dir.filePath("thumbnails");
        const QByteArray uri = "file://" + path.toUtf8().replace(" ", "%20");
        const QString expected = root + "/large/" +
                                 QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex() +
                                 ".png";
        QCOMPARE(ImageCache::thumbnailFilePath(root, path, QSize(200, 150)), expected);

        {
            ImageCache cache(root);
            const QImage first = imageOf(cache, path, QSize(200, 150));
            QVERIFY(!first.isNull());
            QCOMPARE(first.pixelColor(first.width() / 2, first.height() / 2), QColor(Qt::blue));
        }
        const QByteArray stored = test::readFile(expected);
        const auto text = textChunks(stored);
        QCOMPARE(text.value("Thumb::URI"), uri);
        const QFileInfo source(path);
        QCOMPARE(text.value("Thumb::MTime"),
                 QByteArray::number(source.lastModified().toSecsSinceEpoch()));
        QCOMPARE(text.value("Thumb::Size"), QByteArray::number(source.size()));
        QCOMPARE(QFile::permissions(expected) & 0x0077, QFile::Permissions());
        QCOMPARE(QFile::permissions(root + "/large"), QFile::ReadOwner | QFile::WriteOwner |
                                                          QFile::ExeOwner | QFile::ReadUser |
                                                          QFile::WriteUser | QFile::ExeUser);
        QImage stamp = QImage::fromData(stored);
        QCOMPARE(std::max(stamp.width(), stamp.height()), 256);

        // Another instance (another application) takes the stored one as it is.
        stamp.fill(Qt::green);
        stamp.setText("Thumb::URI", QString::fromLatin1(uri));
        stamp.setText("Thumb::MTime", QString::fromLatin1(text.value("Thumb::MTime")));
        test::writeFile(expected, pngOf(stamp));
        {
            ImageCache cache(root);
            const QImage reused = imageOf(cache, path, QSize(200, 150));
            QCOMPARE(reused.pixelColor(reused.width() / 2, reused.height() / 2), QColor(Qt::green));
        }

        // A file changed since is drawn again and the stored thumbnail replaced.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(source.lastModified().addSecs(-3600),
                                 QFileDevice::FileModificationTime));
        file.close();
        {
            ImageCache cache(root);
            const QImage fresh = imageOf(cache, path, QSize(200, 150));
            QCOMPARE(fresh.pixelColor(fresh.width() / 2, fresh.height() / 2), QColor(Qt::blue));
        }
        QCOMPARE(textChunks(test::readFile(expected)).value("Thumb::MTime"),
                 QByteArray::number(QFileInfo(path).lastModified().toSecsSinceEpoch()));
    }
};

QTEST_MAIN(TestImageCache)
#include "tst_imagecache.moc"
