#pragma once

#include "search/archiveindex.h"
#include "search/iteminfo.h"

#include <QHash>
#include <QPointer>
#include <QSet>
#include <QThreadPool>
#include <QWidget>

#include <atomic>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QSlider;
class QTimer;
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
// found and a zoom, facts about the selection beside it, the back history, and opening,
// revealing, previewing and dragging out the results.
class SearchView : public QWidget {
    Q_OBJECT

public:
    explicit SearchView(AppContext& app, QString indexPath = ArchiveIndex::defaultPath(),
                        QWidget* parent = nullptr);
    ~SearchView() override;

    // The window shows the view: the archive may have changed while it was hidden, and the zoom
    // may have been changed by another window.
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
    // Sizes the grid by the stored zoom.
    void applyZoom();
    void zoomSliderChanged(int value);
    // Selects the items at `paths` again after the results were replaced.
    void reselect(const QSet<QString>& paths, const QString& current);
    // Shows what is known about pathToShow() and finds it out in the background when not.
    void startInfoSearch();
    void newItemInfo(const QString& path, bool stopped, const std::optional<ItemInfo>& info);
    void updateItemInfo();
    // Folders grow while the application runs: what was found out may no longer hold.
    void forgetItemInfos();

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
    QSlider* m_zoomSlider;
    // Thumbnails follow the zoom once the slider rests, not at every step of a drag.
    QTimer* m_thumbnailTimer;
    QLabel* m_info;
    QPointer<SearchPreview> m_preview;
    // Facts by path, as computed in the background.
    QHash<QString, ItemInfo> m_fileInfos;
    // The path being looked at in the background, and what stops that look: one at a time,
    // and a look nobody waits for any more is stopped (a walk of a large archive is long).
    QString m_infoInFlight;
    std::shared_ptr<std::atomic<bool>> m_stopInfo;
    QThreadPool m_infoPool;
    // The path whose facts the panel shows.
    QString m_shownInfoPath;
};

} // namespace tessaly
