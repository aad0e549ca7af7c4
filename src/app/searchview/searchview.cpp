#include "app/searchview/searchview.h"

#include "app/appcontext.h"
#include "app/searchview/searchgrid.h"
#include "app/searchview/searchpathbar.h"
#include "app/searchview/searchplaces.h"
#include "app/searchview/searchpreview.h"
#include "app/searchview/searchresultsmodel.h"
#include "search/imagecache.h"
#include "search/searchscopes.h"
#include "search/searchsession.h"
#include "search/searchzoom.h"

#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace tessaly {

namespace {

constexpr int kZoomSteps = 1000;
constexpr int kZoomReapplyMs = 100;
constexpr int kThumbnailSettleMs = 150;

QLineEdit* makeField(const QString& placeholder, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(placeholder);
    field->setClearButtonEnabled(true);
    return field;
}

QToolButton* makeButton(const QString& text, const QString& iconName, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(text);
    button->setAccessibleName(text);
    button->setIcon(QIcon::fromTheme(iconName));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    return button;
}

} // namespace

SearchView::SearchView(AppContext& app, QString indexPath, QWidget* parent)
    : QWidget(parent)
    , m_app(app)
    , m_images(std::make_unique<ImageCache>())
    , m_session(std::make_unique<SearchSession>(app.store(), std::move(indexPath)))
    , m_stopInfo(std::make_shared<std::atomic<bool>>(false)) {
    m_infoPool.setMaxThreadCount(1);
    m_back = makeButton(tr("Back"), QStringLiteral("go-previous"), this);
    m_home = makeButton(tr("Home"), QStringLiteral("go-home"), this);
    m_subject = makeField(tr("Subject"), this);
    m_address = makeField(tr("Email Addresses"), this);
    m_everywhere = makeField(tr("Search Everything"), this);
    m_places = new QComboBox(this);
    m_places->setAccessibleName(tr("Search In"));
    m_places->setToolTip(tr("Search In"));
    m_places->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_pathBar = new SearchPathBar(this);
    m_count = new QLabel(this);
    m_count->setAccessibleName(tr("Result Count"));
    m_count->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_zoomSlider = new QSlider(Qt::Horizontal, this);
    m_zoomSlider->setRange(0, kZoomSteps);
    m_zoomSlider->setPageStep(kZoomSteps / 10);
    m_zoomSlider->setAccessibleName(tr("Zoom"));
    m_zoomSlider->setToolTip(tr("Zoom"));
    m_zoomSlider->setFixedWidth(160);
    m_thumbnailTimer = new QTimer(this);
    m_thumbnailTimer->setSingleShot(true);
    m_thumbnailTimer->setInterval(kThumbnailSettleMs);
    m_info = new QLabel(this);
    m_info->setAccessibleName(tr("Item Info"));
    m_info->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_info->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_info->setWordWrap(true);
    m_info->setFixedWidth(200);
    m_info->setMargin(6);

    const SearchZoom zoom = SearchZoom::fromPreferences(m_app.store());
    m_grid = new SearchGrid(this);
    m_grid->setZoom(zoom);
    m_model = new SearchResultsModel(*m_images, zoom.imageSize(), this);
    m_grid->setModel(m_model);

    auto* fields = new QHBoxLayout;
    fields->addWidget(m_back);
    fields->addWidget(m_home);
    fields->addWidget(m_places);
    fields->addWidget(m_subject, 2);
    fields->addWidget(m_address, 2);
    fields->addWidget(m_everywhere, 3);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(m_pathBar);
    auto* results = new QHBoxLayout;
    results->addWidget(m_grid, 1);
    results->addWidget(m_info);
    layout->addLayout(results, 1);
    auto* status = new QHBoxLayout;
    status->addWidget(m_count, 1);
    status->addWidget(m_zoomSlider);
    layout->addLayout(status);
    setTabOrder(m_subject, m_address);
    setTabOrder(m_address, m_everywhere);
    setTabOrder(m_everywhere, m_grid);

    for (QLineEdit* field : {m_subject, m_address, m_everywhere}) {
        connect(field, &QLineEdit::textChanged, this, &SearchView::fieldsEdited);
    }
    connect(m_back, &QToolButton::clicked, this, &SearchView::goBack);
    connect(m_home, &QToolButton::clicked, this, &SearchView::goHome);
    m_back->setEnabled(m_session->canGoBack());
    connect(m_session.get(), &SearchSession::canGoBackChanged, m_back, &QToolButton::setEnabled);
    connect(m_session.get(), &SearchSession::resultsChanged, this, [this] {
        // A search that follows the index runs again while a job archives: what the user
        // selected stays selected.
        QSet<QString> selected;
        for (const QModelIndex& index : m_grid->selectionModel()->selectedIndexes()) {
            selected.insert(m_model->itemAt(index.row()).path());
        }
        const QString current = m_grid->currentIndex().isValid()
                                    ? m_model->itemAt(m_grid->currentIndex().row()).path()
                                    : QString();
        m_model->setResults(m_session->results());
        reselect(selected, current);
        updateCount();
        updatePlaces();
        startInfoSearch();
    });
    connect(m_grid->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        m_pathBar->setPath(pathToShow(), SearchScopes::topPaths(m_app.store()));
        startInfoSearch();
    });
    connect(m_zoomSlider, &QSlider::valueChanged, this, &SearchView::zoomSliderChanged);
    connect(m_thumbnailTimer, &QTimer::timeout, this, [this] {
        m_model->setThumbnailSize(SearchZoom::fromPreferences(m_app.store()).imageSize());
    });
    connect(m_pathBar, &SearchPathBar::folderClicked, this, &SearchView::makePlace);
    connect(m_places, &QComboBox::activated, this, &SearchView::placeChosen);
    connect(m_session.get(), &SearchSession::searchingChanged, this, &SearchView::updateCount);
    connect(m_grid, &SearchGrid::activated, this, &SearchView::activate);
    connect(m_grid, &SearchGrid::customContextMenuRequested, this, &SearchView::showContextMenu);
    connect(m_grid, &SearchGrid::previewRequested, this, &SearchView::showPreview);
    applyZoom();
    updateCount();
    updatePlaces();
    startInfoSearch();
    m_session->restartSearchSoon();
}

SearchView::~SearchView() {
    m_stopInfo->store(true);
    // The model's thumbnail requests die with the cache; the grid goes first so nothing paints.
    delete m_grid;
    delete m_model;
}

void SearchView::viewIsAppearring() {
    m_session->restartSearchSoon();
    forgetItemInfos();
    QTimer::singleShot(kZoomReapplyMs, this, &SearchView::applyZoom);
}

void SearchView::applyZoom() {
    const SearchZoom zoom = SearchZoom::fromPreferences(m_app.store());
    {
        const QSignalBlocker blocker(m_zoomSlider);
        m_zoomSlider->setValue(int(std::lround(zoom.state() * kZoomSteps)));
    }
    m_grid->setZoom(zoom);
    m_thumbnailTimer->stop();
    m_model->setThumbnailSize(zoom.imageSize());
}

void SearchView::zoomSliderChanged(int value) {
    const SearchZoom zoom(double(value) / kZoomSteps);
    zoom.store(m_app.store());
    m_grid->setZoom(zoom);
    m_thumbnailTimer->start();
}

void SearchView::reselect(const QSet<QString>& paths, const QString& current) {
    if (paths.isEmpty() && current.isEmpty()) {
        return;
    }
    QItemSelection selection;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QString path = m_model->itemAt(row).path();
        if (path.isEmpty()) {
            continue;
        }
        if (path == current) {
            m_grid->selectionModel()->setCurrentIndex(m_model->index(row),
                                                      QItemSelectionModel::NoUpdate);
        }
        if (paths.contains(path)) {
            selection.select(m_model->index(row), m_model->index(row));
        }
    }
    m_grid->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void SearchView::startInfoSearch() {
    updateItemInfo();
    const QString path = pathToShow();
    // Facts nobody can see are not worth a walk of the archive.
    if (path.isEmpty() || !m_info->isVisible() || m_fileInfos.contains(path) ||
        path == m_infoInFlight) {
        return;
    }
    if (m_stopInfo) {
        m_stopInfo->store(true);
    }
    m_infoInFlight = path;
    m_stopInfo = std::make_shared<std::atomic<bool>>(false);
    auto* watcher = new QFutureWatcher<std::optional<ItemInfo>>(this);
    connect(watcher, &QFutureWatcher<std::optional<ItemInfo>>::finished, this,
            [this, watcher, path, stop = m_stopInfo] {
                watcher->deleteLater();
                newItemInfo(path, stop->load(), watcher->result());
            });
    watcher->setFuture(QtConcurrent::run(
        &m_infoPool, [path, stop = m_stopInfo] { return ItemInfo::forPath(path, stop.get()); }));
}

void SearchView::newItemInfo(const QString& path, bool stopped,
                             const std::optional<ItemInfo>& info) {
    if (path == m_infoInFlight && !stopped) {
        m_infoInFlight.clear();
    }
    if (stopped) {
        return; // cut short: its counts are partial
    }
    if (info) {
        m_fileInfos.insert(path, *info);
    } else if (path == m_shownInfoPath) {
        // Gone from the disk: its old facts must not stay on show.
        m_shownInfoPath.clear();
    }
    updateItemInfo();
}

void SearchView::updateItemInfo() {
    const QString path = pathToShow();
    const auto known = m_fileInfos.constFind(path);
    if (known != m_fileInfos.constEnd()) {
        m_info->setText(ItemInfo::infoText(*known));
        m_shownInfoPath = path;
    } else if (path != m_shownInfoPath) {
        m_info->clear();
        m_shownInfoPath.clear();
    }
    // Otherwise the facts on show are being looked at again and stay until the new ones come.
}

void SearchView::forgetItemInfos() {
    m_fileInfos.clear();
    if (m_stopInfo) {
        m_stopInfo->store(true); // a look begun before may have missed what changed
    }
    m_infoInFlight.clear();
    startInfoSearch();
}

void SearchView::fieldsEdited() {
    const SearchQuery query(m_subject->text(), m_address->text(), m_everywhere->text());
    if (query != m_session->query()) {
        m_session->setQuery(query);
    }
}

void SearchView::showSessionQuery() {
    const SearchQuery& query = m_session->query();
    const QSignalBlocker subject(m_subject);
    const QSignalBlocker address(m_address);
    const QSignalBlocker everywhere(m_everywhere);
    m_subject->setText(query.subject());
    m_address->setText(query.address());
    m_everywhere->setText(query.everywhere());
}

void SearchView::updateCount() {
    // Attachments are shown as items of their own, so they are counted too.
    m_count->setText(SearchSession::countLabel(m_model->rowCount(), m_session->nowSearching()));
}

QString SearchView::pathToShow() const {
    const QModelIndexList selected = m_grid->selectionModel()->selectedIndexes();
    if (!selected.isEmpty() && selected.size() <= 1000) {
        QStringList paths;
        for (const QModelIndex& index : selected) {
            const QString path = m_model->itemAt(index.row()).path();
            if (!path.isEmpty()) {
                paths.append(path);
            }
        }
        if (!paths.isEmpty()) {
            return SearchScopes::longestCommonPath(paths);
        }
    }
    if (!m_session->pathConstraint().isEmpty()) {
        return m_session->pathConstraint();
    }
    const QStringList roots = SearchScopes::topPathsJustPaths(m_app.store());
    return roots.size() == 1 ? roots.first() : QString();
}

void SearchView::updatePlaces() {
    const SearchPlaces::Roots roots = SearchScopes::topPaths(m_app.store());
    const QString place = m_session->pathConstraint();
    const QList<SearchPlaces::Place> chain = SearchPlaces::parentsAndPath(place, roots);
    const QSignalBlocker blocker(m_places);
    m_places->clear();
    const auto add = [this, &place](const SearchPlaces::Place& entry, qsizetype depth) {
        m_places->addItem(QString(depth * 2, u' ') + entry.title, entry.path);
        if (entry.path == place) {
            m_places->setCurrentIndex(m_places->count() - 1);
        }
    };
    for (qsizetype depth = 0; depth < chain.size(); ++depth) {
        add(chain.at(depth), depth);
    }
    for (const SearchPlaces::Place& folder : SearchPlaces::subFolders(place, roots)) {
        add(folder, chain.size());
    }
    m_pathBar->setPath(pathToShow(), roots);
}

void SearchView::placeChosen(int index) {
    const QString folder = m_places->itemData(index).toString();
    if (folder != m_session->pathConstraint()) {
        m_session->setPathConstraint(folder);
        updatePlaces();
    }
}

void SearchView::goBack() {
    m_session->popHistory();
    showSessionQuery();
}

void SearchView::goHome() {
    m_session->homeClicked();
    showSessionQuery();
}

void SearchView::activate(const QModelIndex& index) {
    const SearchItem item = m_model->itemAt(index.row());
    if (item.path().isEmpty()) {
        return;
    }
    if (QFileInfo(item.path()).isDir()) {
        makePlace(item.path());
    } else {
        openItem(item.path());
    }
}

void SearchView::makePlace(const QString& folder) {
    // An attachments folder is shown whole: the typed terms would hide its files.
    if (folder.contains(u"(attachments)")) {
        m_session->setQuery(SearchQuery());
        showSessionQuery();
    }
    m_session->setPathConstraint(folder);
}

void SearchView::showContextMenu(const QPoint& position) {
    const QModelIndex index = m_grid->indexAt(position);
    const SearchItem item = m_model->itemAt(index.row());
    if (!index.isValid() || !QFileInfo::exists(item.path())) {
        return;
    }
    const QString path = item.path();
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(tr("Open"), this, [this, path] { openItem(path); });
    menu->addAction(tr("Show in Folder"), this, [this, path] { showInFolder(path); });
    const QString attachments = item.attachmentsFolderPath();
    if (!attachments.isEmpty() && QFileInfo(attachments).isDir()) {
        menu->addAction(tr("Show Attachments"), this,
                        [this, attachments] { makePlace(attachments); });
    }
    menu->popup(m_grid->viewport()->mapToGlobal(position));
}

void SearchView::openItem(const QString& path) {
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        qWarning("No application opened %s", qUtf8Printable(path));
    }
}

void SearchView::showInFolder(const QString& path) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, path](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                if (finished->isError()) {
                    // No file manager that selects items: its folder is the next best thing.
                    openItem(QFileInfo(path).absolutePath());
                }
            });
}

void SearchView::showPreview() {
    if (m_preview) {
        m_preview->reject();
        return;
    }
    QModelIndex index = m_grid->currentIndex();
    if (!index.isValid() || !m_grid->selectionModel()->isSelected(index)) {
        const QModelIndexList selected = m_grid->selectionModel()->selectedIndexes();
        index = selected.isEmpty() ? m_model->index(0) : selected.first();
    }
    if (!index.isValid()) {
        return;
    }
    const SearchItem item = m_model->itemAt(index.row());
    m_preview = new SearchPreview(item, index.data(Qt::DecorationRole).value<QIcon>(), this);
    m_preview->open();
}

} // namespace tessaly
