#include "app/settingsview/settingssourcelist.h"

#include "platform/prefs/preferencestore.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScopedValueRollback>
#include <QStyledItemDelegate>
#include <QTimer>

namespace tessaly {

namespace {

constexpr int kListWidth = 250;
constexpr int kRebuildDelayMs = 200;
constexpr int kAddRowDeselectDelayMs = 400;

QColor blend(const QColor& from, const QColor& to, double amount) {
    return QColor::fromRgbF(
        static_cast<float>(from.redF() + (to.redF() - from.redF()) * amount),
        static_cast<float>(from.greenF() + (to.greenF() - from.greenF()) * amount),
        static_cast<float>(from.blueF() + (to.blueF() - from.blueF()) * amount));
}

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

// The light palette's colours are the design's; a dark palette gets its own from the palette,
// so the text keeps its contrast.
QColor listBackground(const QPalette& palette) {
    if (!isDark(palette)) {
        return QColor(232, 237, 242);
    }
    return blend(palette.color(QPalette::Window), palette.color(QPalette::Text), 0.05);
}

QColor selectionFill(const QPalette& palette) {
    if (!isDark(palette)) {
        return QColor::fromRgbF(0.82f, 0.82f, 0.82f);
    }
    return blend(listBackground(palette), palette.color(QPalette::Text), 0.2);
}

QIcon rowIcon(SettingsRow::Icon icon, const QStyle* style) {
    switch (icon) {
    case SettingsRow::Icon::Settings:
        return QIcon::fromTheme(QStringLiteral("preferences-system"),
                                style->standardIcon(QStyle::SP_FileDialogDetailedView));
    case SettingsRow::Icon::Mailbox:
        return QIcon::fromTheme(QStringLiteral("mail-folder-inbox"),
                                style->standardIcon(QStyle::SP_DriveNetIcon));
    case SettingsRow::Icon::Folder:
        return QIcon::fromTheme(QStringLiteral("folder"), style->standardIcon(QStyle::SP_DirIcon));
    case SettingsRow::Icon::Add:
        return QIcon::fromTheme(QStringLiteral("list-add"),
                                style->standardIcon(QStyle::SP_FileDialogNewFolder));
    case SettingsRow::Icon::None:
        break;
    }
    return {};
}

QString accessibleText(const SettingsRow& row) {
    if (row.heading) {
        return row.name + QStringLiteral(" (heading)");
    }
    if (row.isAccount()) {
        return QStringLiteral("Account %1").arg(row.email);
    }
    if (row.isFolderSource()) {
        return QStringLiteral("Folder source %1").arg(row.folder);
    }
    if (row.isGeneralSettings()) {
        return QStringLiteral("General settings");
    }
    return row.name;
}

// Rows as the design draws them: headings as small bold captions, other rows with their icon,
// the selected one filled across the whole width.
class SettingsRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const bool heading = index.data(SettingsListModel::HeadingRole).toBool();
        const QFontMetrics metrics(rowFont(option.font, heading));
        const int margin = metrics.height() / 2;
        painter->save();
        if (option.state & QStyle::State_Selected) {
            painter->fillRect(option.rect, selectionFill(option.palette));
        }
        QRect textRect = option.rect.adjusted(margin, 0, -margin, 0);
        if (!heading) {
            const QSize size = option.decorationSize;
            const QRect iconRect(textRect.left(), option.rect.center().y() - size.height() / 2,
                                 size.width(), size.height());
            index.data(Qt::DecorationRole).value<QIcon>().paint(painter, iconRect);
            textRect.setLeft(iconRect.right() + margin);
        }
        const QColor text = option.palette.color(QPalette::Text);
        painter->setPen(heading ? blend(text, listBackground(option.palette), 0.25) : text);
        painter->setFont(rowFont(option.font, heading));
        const QString name = metrics.elidedText(index.data(Qt::DisplayRole).toString(),
                                                Qt::ElideMiddle, textRect.width());
        painter->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, name);
        if (option.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.initFrom(option.widget);
            focus.rect = option.rect.adjusted(1, 1, -1, -1);
            option.widget->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter,
                                                  option.widget);
        }
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const bool heading = index.data(SettingsListModel::HeadingRole).toBool();
        const QFontMetrics metrics(rowFont(option.font, heading));
        const int content =
            heading ? metrics.height() : std::max(metrics.height(), option.decorationSize.height());
        return {option.rect.width(), content + metrics.height()};
    }

private:
    static QFont rowFont(QFont font, bool heading) {
        if (heading) {
            font.setBold(true);
            font.setPointSizeF(font.pointSizeF() * 0.85);
        }
        return font;
    }
};

} // namespace

SettingsListModel::SettingsListModel(QObject* parent)
    : QAbstractListModel(parent) {
}

bool SettingsListModel::rebuild(const PreferenceStore& store) {
    // Most changes (a job's count, the window's frame, a keystroke in the hours field) leave
    // the rows as they are: a reset then would only throw the keyboard position away and make
    // screen readers read the list again.
    if (SettingsList::buildRows(store) == m_list.rows() && m_list.rowCount() > 0) {
        return false;
    }
    beginResetModel();
    m_list.rebuild(store);
    endResetModel();
    return true;
}

int SettingsListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_list.rowCount();
}

QVariant SettingsListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const SettingsRow& row = m_list.row(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return row.name;
    case Qt::ToolTipRole:
        return row.isFolderSource() ? row.folder : QVariant();
    case Qt::AccessibleTextRole:
        return accessibleText(row);
    case Qt::DecorationRole: {
        const QIcon icon = rowIcon(row.icon, QApplication::style());
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    case IdRole:
        return row.id;
    case HeadingRole:
        return row.heading;
    default:
        return {};
    }
}

Qt::ItemFlags SettingsListModel::flags(const QModelIndex& index) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid) ||
        !m_list.canSelect(index.row())) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

SettingsSourceList::SettingsSourceList(PreferenceStore& store, QWidget* parent)
    : QListView(parent)
    , m_store(store)
    , m_model(new SettingsListModel(this))
    , m_watcher(new PreferenceWatcher(&store, kRebuildDelayMs, this)) {
    setAccessibleName(QStringLiteral("Settings list"));
    setAccessibleDescription(
        QStringLiteral("General settings, accounts and folder sources; Enter or Space on an add "
                       "row adds one"));
    setFixedWidth(kListWidth);
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setUniformItemSizes(false);
    setFocusPolicy(Qt::StrongFocus);
    const int icon = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    setIconSize(QSize(icon, icon));
    setItemDelegate(new SettingsRowDelegate(this));
    viewport()->setAutoFillBackground(false);
    m_model->rebuild(m_store);
    setModel(m_model);
    connect(m_watcher, &PreferenceWatcher::settled, this, &SettingsSourceList::reloadTheData);
}

int SettingsSourceList::selectedRow() const {
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    return selected.isEmpty() ? -1 : selected.first().row();
}

void SettingsSourceList::setSelectedRow(int n) {
    const int row = rows().normalizedRow(n);
    if (!rows().canSelect(row)) {
        clearSelectionQuietly();
        return;
    }
    selectQuietly(row);
    willSelectMainItem(row);
}

void SettingsSourceList::clearSelectionQuietly() {
    const QScopedValueRollback quiet(m_quiet, true);
    selectionModel()->clearSelection();
}

void SettingsSourceList::selectQuietly(int row) {
    const QScopedValueRollback quiet(m_quiet, true);
    const QModelIndex index = m_model->index(row);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    scrollTo(index);
}

void SettingsSourceList::reloadTheData() {
    const QScopedValueRollback quiet(m_quiet, true);
    if (!m_model->rebuild(m_store)) {
        return;
    }
    if (const int again = rows().reselectIndex(); again >= 0) {
        selectQuietly(again);
    }
}

void SettingsSourceList::willSelectMainItem(int index) {
    const SettingsRow row = rows().row(index);
    m_model->list().setSelectedItemID(row.id);
    if (row.isGeneralSettings()) {
        Q_EMIT generalSettingsChosen();
    } else if (row.isAccount()) {
        Q_EMIT accountChosen(row.email);
    } else if (row.isFolderSource()) {
        Q_EMIT folderChosen(row.folder);
    } else if (row.isAddRow()) {
        // Started once the selection has settled: adding rebuilds the list.
        QTimer::singleShot(0, this, [this, action = row.action] {
            if (action == SettingsRow::Action::NewAccount) {
                Q_EMIT addAccountChosen();
                return;
            }
            const QString home = SourceFolders::realHomeDirectory();
            Q_EMIT addFolderChosen(action == SettingsRow::Action::NewMailbox
                                       ? SourceFolders::mailClientFolder(home)
                                       : home);
        });
        // An add row is a button: it lets go of the selection, unless the user moved on.
        QTimer::singleShot(kAddRowDeselectDelayMs, this, [this, id = row.id] {
            const int selected = selectedRow();
            if (selected >= 0 && rows().row(selected).id == id) {
                clearSelectionQuietly();
            }
        });
    }
}

void SettingsSourceList::selectionChanged(const QItemSelection& selected,
                                          const QItemSelection& deselected) {
    QListView::selectionChanged(selected, deselected);
    if (m_quiet || selected.indexes().isEmpty()) {
        return;
    }
    const int row = selected.indexes().first().row();
    if (!rows().canSelect(row) || (m_navigating && rows().row(row).isAddRow())) {
        return;
    }
    willSelectMainItem(row);
}

void SettingsSourceList::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space: {
        const int row = currentIndex().row();
        if (rows().canSelect(row)) {
            selectQuietly(row);
            willSelectMainItem(row);
        }
        event->accept();
        return;
    }
    default: {
        const QScopedValueRollback navigating(m_navigating, true);
        QListView::keyPressEvent(event);
    }
    }
}

void SettingsSourceList::mousePressEvent(QMouseEvent* event) {
    // A heading or the empty space below the rows changes nothing, the selection included.
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid() || !rows().canSelect(index.row())) {
        setFocus(Qt::MouseFocusReason);
        event->accept();
        return;
    }
    QListView::mousePressEvent(event);
}

void SettingsSourceList::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(viewport());
        painter.fillRect(event->rect(), listBackground(palette()));
    }
    QListView::paintEvent(event);
}

} // namespace tessaly
