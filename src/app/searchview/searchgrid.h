#pragma once

#include <QListView>

namespace tessaly {

// The search view's grid of thumbnails: icons with their titles below, several selected at
// once, dragged out as copies, and the space bar asking for a preview.
class SearchGrid : public QListView {
    Q_OBJECT

public:
    explicit SearchGrid(QWidget* parent = nullptr);

    // Sizes the cells for thumbnails of `size` with two lines of title beneath.
    void setThumbnailSize(QSize size);

Q_SIGNALS:
    void previewRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace tessaly
