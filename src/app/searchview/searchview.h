#pragma once

#include "search/archiveindex.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QToolButton;

namespace tessaly {

class AppContext;
class ImageCache;
class SearchGrid;
class SearchItem;
class SearchPathBar;
class SearchPreview;
class SearchResultsModel;
class SearchSession;

// The archive's search view: three fields that search the index as the user types, browsing
// the archive folders when they are empty, a grid of thumbnails with the count of what was
// found, the back history, and opening, revealing, previewing and dragging out the results.
class SearchView : public QWidget {
    Q_OBJECT

public:
    explicit SearchView(AppContext& app, QString indexPath = ArchiveIndex::defaultPath(),
                        QWidget* parent = nullptr);
    ~SearchView() override;

    // The window shows the view: the archive may have changed while it was hidden.
    void viewIsAppearring();

    SearchSession& session() { return *m_session; }
    // Where the selection lives (their common folder when several are selected), or with
    // none the place searched, or the only archive root; "" when that names nothing.
    QString pathToShow() const;

private:
    void fieldsEdited();
    // The fields as the session holds them, after it changed them (back, home).
    void showSessionQuery();
    void updateCount();
    void goBack();
    void goHome();
    void activate(const QModelIndex& index);
    void makePlace(const QString& folder);
    void showContextMenu(const QPoint& position);
    void openItem(const QString& path);
    void showInFolder(const QString& path);
    void showPreview();
    void updatePlaces();
    void placeChosen(int index);

    AppContext& m_app;
    std::unique_ptr<ImageCache> m_images;
    std::unique_ptr<SearchSession> m_session;
    QLineEdit* m_subject;
    QLineEdit* m_address;
    QLineEdit* m_everywhere;
    QToolButton* m_back;
    QToolButton* m_home;
    QLabel* m_count;
    SearchGrid* m_grid;
    SearchResultsModel* m_model;
    QComboBox* m_places;
    SearchPathBar* m_pathBar;
    QPointer<SearchPreview> m_preview;
};

} // namespace tessaly
