#pragma once

#include <QCache>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThreadPool>

#include <functional>

namespace tessaly {

// Thumbnails for the search grid, made in the background so scrolling never waits. Images are
// kept in memory per path, size and mode, and on disk in the freedesktop thumbnail cache that
// file managers share. Lives on the main thread and is asked there; completions run there.
class ImageCache : public QObject {
    Q_OBJECT

public:
    using Done = std::function<void(const QImage& image)>;

    static constexpr int kMaxImages = 1000;
    static constexpr int kMaxConcurrentMakers = 3;

    // $XDG_CACHE_HOME/thumbnails (~/.cache/thumbnails).
    static QString defaultThumbnailRoot();
    // The memory cache's key: path, width, height and the icon-mode flag (0 or 1).
    static QString cacheKey(const QString& path, QSize size, bool iconMode);
    // Where the shared cache keeps the thumbnail of `path` for a request of `size`: the
    // smallest of normal (128), large (256), x-large (512) and xx-large (1024) that holds it,
    // named by the MD5 of the file's URI.
    static QString thumbnailFilePath(const QString& root, const QString& path, QSize size);

    explicit ImageCache(QString thumbnailRoot = defaultThumbnailRoot(), QObject* parent = nullptr);
    // Drops the requests not started and waits for those being made.
    ~ImageCache() override;

    // The image at once when it is kept in memory (`done` is not called). Otherwise a null
    // image, and the image is made in the background: `done` is called once, on this object's
    // thread, with the image scaled to fit `size`, or with a null image when none can be made
    // (the caller then draws a file-type icon; nothing is kept, so a later request tries
    // again). Several requests for one key share one making. `iconMode` draws the page with a
    // thin frame, so a white page stands out from a white grid.
    QImage imageForPath(const QString& path, QSize size, bool iconMode, Done done);

    // How many images have been made (read from disk or drawn) so far.
    int constructions() const { return m_constructions; }

private:
    void finishConstruction(const QString& key, const QImage& image);

    QString m_root;
    QCache<QString, QImage> m_images;
    // Keys being made now and the completions waiting for them.
    QHash<QString, QList<Done>> m_underConstruction;
    QThreadPool m_pool;
    int m_constructions = 0;
};

} // namespace tessaly
