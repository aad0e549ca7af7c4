#include "search/imagecache.h"

#include "platform/files/atomicfile.h"
#include "platform/pdf/previews.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QLoggingCategory>
#include <QPainter>
#include <QStandardPaths>
#include <QUrl>

#include <array>
#include <utility>

namespace tessaly {

namespace {

Q_LOGGING_CATEGORY(lcThumbnails, "tessaly.search.thumbnails")

constexpr std::array<std::pair<int, const char*>, 4> kBuckets{
    {{128, "normal"}, {256, "large"}, {512, "x-large"}, {1024, "xx-large"}}};

std::pair<int, const char*> bucketFor(QSize size) {
    const int side = std::max(size.width(), size.height());
    for (const auto& bucket : kBuckets) {
        if (side <= bucket.first) {
            return bucket;
        }
    }
    return kBuckets.back();
}

QByteArray fileUri(const QString& path) {
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded();
}

quint32 crc32(const QByteArray& data) {
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : data) {
        crc = table[(crc ^ static_cast<quint8>(byte)) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

void appendBigEndian(QByteArray* out, quint32 value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->append(static_cast<char>((value >> shift) & 0xFF));
    }
}

// Other readers of the shared cache look for plain tEXt chunks; Qt's writer may compress
// long values, so the chunks are put in by hand, right after the header chunk.
QByteArray pngWithText(const QImage& image, const QList<std::pair<QByteArray, QByteArray>>& text) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) {
        return {};
    }
    constexpr qsizetype kAfterHeader = 8 + 4 + 4 + 13 + 4; // signature, then IHDR
    if (png.size() < kAfterHeader || png.mid(12, 4) != "IHDR") {
        return {};
    }
    QByteArray chunks;
    for (const auto& [key, value] : text) {
        const QByteArray body = QByteArray("tEXt") + key + '\0' + value;
        appendBigEndian(&chunks, static_cast<quint32>(body.size() - 4));
        chunks.append(body);
        appendBigEndian(&chunks, crc32(body));
    }
    png.insert(kAfterHeader, chunks);
    return png;
}

bool makePrivateFolder(const QString& path) {
    if (QFileInfo(path).isDir()) {
        return true;
    }
    return QDir().mkpath(path) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The shared cache's thumbnail when it was made from the file as it is now. The image's own
// text is read, not the reader's: the reader splits keys at their first colon ("Thumb").
QImage readThumbnail(const QString& thumbnailPath, const QByteArray& uri, qint64 mtime) {
    QImageReader reader(thumbnailPath, "PNG");
    const QImage image = reader.read();
    if (image.isNull() || image.text(QStringLiteral("Thumb::URI")).toLatin1() != uri ||
        image.text(QStringLiteral("Thumb::MTime")) != QString::number(mtime)) {
        return {};
    }
    return image;
}

void writeThumbnail(const QString& root, const QString& thumbnailPath, const QImage& image,
                    const QByteArray& uri, const QFileInfo& file) {
    const QByteArray png = pngWithText(
        image, {{"Thumb::URI", uri},
                {"Thumb::MTime", QByteArray::number(file.lastModified().toSecsSinceEpoch())},
                {"Thumb::Size", QByteArray::number(file.size())}});
    if (png.isEmpty()) {
        qCWarning(lcThumbnails).noquote() << "could not encode the thumbnail of" << file.filePath();
        return;
    }
    if (!makePrivateFolder(root) || !makePrivateFolder(QFileInfo(thumbnailPath).path())) {
        qCWarning(lcThumbnails).noquote() << "could not make the thumbnail folder" << root;
        return;
    }
    const WriteOutcome outcome = writePrivateFileAtomically(thumbnailPath, png);
    if (!outcome.written()) {
        // The image is still shown; only the next start has to make it again.
        qCWarning(lcThumbnails).noquote()
            << "could not keep the thumbnail" << thumbnailPath << outcome.error;
    }
}

// Runs on a pool thread: touches nothing but the file system.
QImage makeImage(const QString& root, const QString& path, QSize size, bool iconMode) {
    const QFileInfo file(path);
    if (!file.isFile() || size.isEmpty()) {
        return {};
    }
    const QByteArray uri = fileUri(path);
    const QString thumbnailPath = ImageCache::thumbnailFilePath(root, path, size);
    QImage image = readThumbnail(thumbnailPath, uri, file.lastModified().toSecsSinceEpoch());
    if (image.isNull()) {
        const int side = bucketFor(size).first;
        image = QImage::fromData(
            Previews::thumbnailOfFile(path, QSize(side, side), Previews::Encoding::Png), "PNG");
        if (image.isNull()) {
            return {};
        }
        writeThumbnail(root, thumbnailPath, image, uri, file);
    }
    if (image.width() > size.width() || image.height() > size.height()) {
        image = image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    if (iconMode) {
        image = image.convertToFormat(QImage::Format_RGB32);
        QPainter painter(&image);
        painter.setPen(QColor(0, 0, 0, 60));
        painter.drawRect(image.rect().adjusted(0, 0, -1, -1));
    }
    return image;
}

} // namespace

QString ImageCache::defaultThumbnailRoot() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/thumbnails");
}

QString ImageCache::cacheKey(const QString& path, QSize size, bool iconMode) {
    return QStringLiteral("%1 %2 %3 %4")
        .arg(path)
        .arg(size.width())
        .arg(size.height())
        .arg(iconMode ? 1 : 0);
}

QString ImageCache::thumbnailFilePath(const QString& root, const QString& path, QSize size) {
    const QByteArray md5 = QCryptographicHash::hash(fileUri(path), QCryptographicHash::Md5).toHex();
    return root + u'/' + QLatin1String(bucketFor(size).second) + u'/' + QLatin1String(md5) +
           QStringLiteral(".png");
}

ImageCache::ImageCache(QString thumbnailRoot, QObject* parent)
    : QObject(parent)
    , m_root(std::move(thumbnailRoot))
    , m_images(kMaxImages) {
    m_pool.setMaxThreadCount(kMaxConcurrentMakers);
}

ImageCache::~ImageCache() {
    m_pool.clear();
    // Makers post their result to this object; none may be left running past it.
    m_pool.waitForDone();
}

QImage ImageCache::imageForPath(const QString& path, QSize size, bool iconMode, Done done) {
    const QString key = cacheKey(path, size, iconMode);
    if (const QImage* image = m_images.object(key)) {
        return *image;
    }
    const auto waiting = m_underConstruction.find(key);
    if (waiting != m_underConstruction.end()) {
        waiting->append(std::move(done));
        return {};
    }
    m_underConstruction.insert(key, {std::move(done)});
    m_pool.start([this, key, root = m_root, path, size, iconMode] {
        const QImage image = makeImage(root, path, size, iconMode);
        QMetaObject::invokeMethod(
            this, [this, key, image] { finishConstruction(key, image); }, Qt::QueuedConnection);
    });
    return {};
}

void ImageCache::finishConstruction(const QString& key, const QImage& image) {
    if (++m_constructions % 1000 == 0) {
        qCInfo(lcThumbnails, "requestPreviewImage called %d times", m_constructions);
    }
    if (!image.isNull()) {
        m_images.insert(key, new QImage(image));
    }
    // Taken out first: a completion may well ask again.
    const QList<Done> waiters = m_underConstruction.take(key);
    for (const Done& done : waiters) {
        if (done) {
            done(image);
        }
    }
}

} // namespace tessaly
