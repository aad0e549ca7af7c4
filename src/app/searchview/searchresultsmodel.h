#pragma once

#include "search/searchitem.h"

#include <QAbstractListModel>
#include <QFileIconProvider>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QSet>
#include <QSize>

namespace tessaly {

class ImageCache;
struct SearchResult;

// The search grid's items: each result followed by its attachments, titled, with a thumbnail
// once the image cache has made one and a file-type icon until then. Items leave as file URLs.
class SearchResultsModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        PathRole = Qt::UserRole + 1,
        KindRole,
        HasAttachmentsRole,
        IsAttachmentRole,
    };

    SearchResultsModel(ImageCache& images, QSize thumbnailSize, QObject* parent = nullptr);

    // Replaces the items by the results and their attachments.
    void setResults(const QList<SearchResult>& results);
    const QList<SearchItem>& items() const { return m_items; }
    // The item at a row; none (an empty item) out of range.
    SearchItem itemAt(int row) const;
    // Thumbnails are drawn at this size from now on: each is asked for again when next shown.
    void setThumbnailSize(QSize size);
    QSize thumbnailSize() const { return m_thumbnailSize; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override;

private:
    QIcon decoration(const SearchItem& item) const;
    void thumbnailArrived(const QString& path, bool failed);

    ImageCache& m_images;
    QSize m_thumbnailSize;
    QList<SearchItem> m_items;
    QFileIconProvider m_icons;
    // Drawn with the paperclip where needed, per path; dropped when a new thumbnail arrives.
    mutable QHash<QString, QIcon> m_decorations;
    mutable QSet<QString> m_pending;
    // Paths no thumbnail could be made for: they keep their file-type icon.
    QSet<QString> m_failed;
    // Bumped by every reset and size change: thumbnails asked for before it find their rows by path
    // again.
    quint64 m_generation = 0;
};

} // namespace tessaly
