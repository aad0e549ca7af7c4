#pragma once

#include <QListView>

namespace tessaly {

class SearchZoom;

// The search view's grid of thumbnails: icons with their titles below, several selected at
// once, dragged out as copies, and the space bar asking for a preview.
class SearchGrid : public QListView {
    Q_OBJECT

public:
    explicit SearchGrid(QWidget* parent = nullptr);

    // Every cell takes the zoom's item size, its thumbnail the image area at the top.
    void setZoom(const SearchZoom& zoom);

Q_SIGNALS:
    void previewRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace tessaly
