#include "app/searchview/searchgrid.h"

#include "search/searchzoom.h"

#include <QKeyEvent>

namespace tessaly {

SearchGrid::SearchGrid(QWidget* parent)
    : QListView(parent) {
    setViewMode(QListView::IconMode);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setWordWrap(true);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setDefaultDropAction(Qt::CopyAction);
    setTextElideMode(Qt::ElideMiddle);
    setSpacing(8);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setAccessibleName(tr("Search Results"));
}

void SearchGrid::setZoom(const SearchZoom& zoom) {
    setIconSize(zoom.imageSize());
    // Twenty pixels around each item for its selection frame: neighbours never touch.
    setGridSize(zoom.itemSize() + QSize(40, 40));
}

void SearchGrid::keyPressEvent(QKeyEvent* event) {
    // Space previews, as in file managers; typing to find an item by title starts with a letter.
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
        Q_EMIT previewRequested();
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}

} // namespace tessaly
