#include "app/searchview/searchresultsmodel.h"

#include "search/imagecache.h"
#include "search/searchsession.h"

#include <QFileInfo>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPointer>
#include <QUrl>

namespace tessaly {

namespace {

// A paperclip in the lower right corner, faint enough to leave the page readable.
void drawPaperclip(QPainter& painter, const QRect& area) {
    const int side = std::max(12, std::min(area.width(), area.height()) / 4);
    const QRectF clip(area.right() - side - 2, area.bottom() - side - 2, side * 0.5, side);
    QPainterPath path;
    const qreal w = clip.width();
    path.moveTo(clip.left() + w * 0.75, clip.top() + w * 0.9);
    path.lineTo(clip.left() + w * 0.75, clip.bottom() - w * 0.5);
    path.arcTo(QRectF(clip.left() + w * 0.25, clip.bottom() - w * 0.75, w * 0.5, w * 0.5), 0, -180);
    path.lineTo(clip.left() + w * 0.25, clip.top() + w * 0.5);
    path.arcTo(QRectF(clip.left(), clip.top(), w, w), 180, -180);
    path.lineTo(clip.right(), clip.bottom() - w * 0.4);
    painter.save();
    painter.setOpacity(0.6);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, std::max(1.5, side / 10.0), Qt::SolidLine, Qt::RoundCap));
    painter.drawPath(path);
    painter.restore();
}

} // namespace

SearchResultsModel::SearchResultsModel(ImageCache& images, QSize thumbnailSize, QObject* parent)
    : QAbstractListModel(parent)
    , m_images(images)
    , m_thumbnailSize(thumbnailSize) {
}

void SearchResultsModel::setResults(const QList<SearchResult>& results) {
    QList<SearchItem> items;
    items.reserve(results.size());
    for (const SearchResult& result : results) {
        SearchItem item;
        if (result.kind == u"folder") {
            item = SearchItem::fromPath(result.path);
        } else {
            item = SearchItem::fromIndexRow(
                {QVariant(), result.path, result.kind, result.title, result.authors,
                 result.contentDate ? QVariant(*result.contentDate) : QVariant()});
        }
        items.append(item);
        if (!item.isAttachment() && item.kind() != u"folder") {
            item.addAttachments(&items);
        }
    }
    beginResetModel();
    m_items = std::move(items);
    m_decorations.clear();
    m_failed.clear();
    m_pending.clear();
    ++m_generation;
    endResetModel();
}

SearchItem SearchResultsModel::itemAt(int row) const {
    return row >= 0 && row < m_items.size() ? m_items.at(row) : SearchItem();
}

void SearchResultsModel::setThumbnailSize(QSize size) {
    if (size == m_thumbnailSize) {
        return;
    }
    m_thumbnailSize = size;
    // Only the rows painted from now on ask the cache, each once, at the new size; what was
    // asked at the old one is no longer awaited.
    m_decorations.clear();
    m_pending.clear();
    ++m_generation;
    if (!m_items.isEmpty()) {
        Q_EMIT dataChanged(index(0), index(int(m_items.size()) - 1), {Qt::DecorationRole});
    }
}

int SearchResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_items.size());
}

QVariant SearchResultsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_items.size()) {
        return {};
    }
    const SearchItem& item = m_items.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return item.fullTitle();
    case Qt::ToolTipRole: {
        const QString subtitle = item.fullSubtitle();
        return subtitle.isEmpty() ? item.path() : item.fullTitle() + u'\n' + subtitle;
    }
    case Qt::AccessibleTextRole:
        return item.fullTitle();
    case Qt::DecorationRole:
        return decoration(item);
    case PathRole:
        return item.path();
    case KindRole:
        return item.kind();
    case HasAttachmentsRole:
        return item.hasAttachments();
    case IsAttachmentRole:
        return item.isAttachment();
    default:
        return {};
    }
}

QIcon SearchResultsModel::decoration(const SearchItem& item) const {
    const auto kept = m_decorations.constFind(item.path());
    if (kept != m_decorations.constEnd()) {
        return *kept;
    }
    QImage image;
    const bool folder = item.kind() == u"folder";
    if (!folder && !m_failed.contains(item.path()) && !m_pending.contains(item.path())) {
        const QPointer<const SearchResultsModel> self(this);
        const quint64 generation = m_generation;
        const QString path = item.path();
        image = m_images.imageForPath(path, m_thumbnailSize, true,
                                      [self, generation, path](const QImage& made) {
                                          if (self && self->m_generation == generation) {
                                              const_cast<SearchResultsModel*>(self.data())
                                                  ->thumbnailArrived(path, made.isNull());
                                          }
                                      });
        if (image.isNull()) {
            // Shown with its file-type icon until the thumbnail is made; one request is enough.
            m_pending.insert(path);
        }
    }
    QPixmap pixmap(m_thumbnailSize);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        const QRect area(QPoint(0, 0), m_thumbnailSize);
        if (!image.isNull()) {
            const QImage scaled =
                image.scaled(m_thumbnailSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            const QRect target(QPoint(0, 0), scaled.size());
            painter.drawImage(target.translated(area.center() - target.center()), scaled);
        } else {
            const QIcon icon = m_icons.icon(QFileInfo(item.path()));
            const int side = std::min(area.width(), area.height()) / 2;
            const QRect target(0, 0, side, side);
            icon.paint(&painter, target.translated(area.center() - target.center()));
        }
        if (!folder && item.hasAttachments()) {
            drawPaperclip(painter, area);
        }
    }
    QIcon icon(pixmap);
    // The icon stands in for the thumbnail only until it comes or is known not to come.
    if (folder || !image.isNull() || m_failed.contains(item.path())) {
        m_decorations.insert(item.path(), icon);
    }
    return icon;
}

void SearchResultsModel::thumbnailArrived(const QString& path, bool failed) {
    m_pending.remove(path);
    if (failed) {
        // The icon stays: asking again would only fail again while the grid looks on.
        m_failed.insert(path);
    }
    m_decorations.remove(path);
    for (int row = 0; row < m_items.size(); ++row) {
        if (m_items.at(row).path() == path) {
            const QModelIndex at = index(row);
            Q_EMIT dataChanged(at, at, {Qt::DecorationRole});
        }
    }
}

Qt::ItemFlags SearchResultsModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractListModel::flags(index);
    if (index.isValid() && !m_items.at(index.row()).path().isEmpty()) {
        flags |= Qt::ItemIsDragEnabled;
    }
    return flags;
}

QStringList SearchResultsModel::mimeTypes() const {
    return {QStringLiteral("text/uri-list")};
}

QMimeData* SearchResultsModel::mimeData(const QModelIndexList& indexes) const {
    QList<QUrl> urls;
    for (const QModelIndex& index : indexes) {
        const QString path = itemAt(index.row()).path();
        if (!path.isEmpty()) {
            urls.append(QUrl::fromLocalFile(path));
        }
    }
    if (urls.isEmpty()) {
        return nullptr;
    }
    auto* data = new QMimeData;
    data->setUrls(urls);
    return data;
}

Qt::DropActions SearchResultsModel::supportedDragActions() const {
    // The archive keeps its files: a drag out never moves one.
    return Qt::CopyAction;
}

} // namespace tessaly
