#include "app/settingsview/settingsview.h"

#include "app/appcontext.h"
#include "app/settingsview/accountpanel.h"
#include "app/settingsview/foldersettingspanel.h"
#include "app/settingsview/generalsettingspanel.h"
#include "app/settingsview/settingssourcelist.h"
#include "settings/settingslist.h"

#include <QHBoxLayout>
#include <QPointer>
#include <QStackedWidget>
#include <QTimer>

namespace tessaly {

namespace {
constexpr int kFirstSelectionDelayMs = 500;
constexpr int kSelectAfterChangeDelayMs = 20;
constexpr int kDeselectDelayMs = 400;
constexpr int kGeneralSettingsRow = 1;
} // namespace

SettingsView::SettingsView(AppContext& app, AccountPanel* accountPanel, QWidget* parent)
    : QWidget(parent)
    , m_app(app)
    , m_list(new SettingsSourceList(app.store(), this))
    , m_panels(new QStackedWidget(this))
    , m_nothing(new QWidget(m_panels))
    , m_general(new GeneralSettingsPanel(app, m_panels))
    , m_account(accountPanel)
    , m_folder(new FolderSettingsPanel(app, m_panels)) {
    setAccessibleName(QStringLiteral("Settings"));
    m_panels->addWidget(m_nothing);
    m_panels->addWidget(m_general);
    m_panels->addWidget(m_account);
    m_panels->addWidget(m_folder);
    m_panels->setCurrentWidget(m_nothing);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_list);
    layout->addWidget(m_panels, 1);
    setTabOrder(m_list, m_panels);

    connect(m_list, &SettingsSourceList::generalSettingsChosen, this,
            &SettingsView::showGeneralSettings);
    connect(m_list, &SettingsSourceList::accountChosen, this, &SettingsView::switchViewToEmailEdit);
    connect(m_list, &SettingsSourceList::folderChosen, this, &SettingsView::switchViewToFolderEdit);
    connect(m_list, &SettingsSourceList::addAccountChosen, this, &SettingsView::addEmailAccount);
    connect(m_list, &SettingsSourceList::addFolderChosen, this,
            &SettingsView::addFolderItemFromPath);
    connect(m_account, &AccountPanel::accountRemoved, this, &SettingsView::selectRowAboveLater);
    connect(m_folder, &FolderSettingsPanel::folderRemoved, this,
            &SettingsView::selectRowAboveLater);

    QTimer::singleShot(kFirstSelectionDelayMs, this,
                       [this] { m_list->setSelectedRow(kGeneralSettingsRow); });
}

QWidget* SettingsView::currentPanel() const {
    QWidget* panel = m_panels->currentWidget();
    return panel == m_nothing ? nullptr : panel;
}

void SettingsView::showGeneralSettings() {
    m_panels->setCurrentWidget(m_general);
    if (m_list->selectedRow() != kGeneralSettingsRow) {
        // Asked for from outside the list (a menu): the list shows it too.
        m_list->setSelectedRow(kGeneralSettingsRow);
    }
}

void SettingsView::switchViewToEmailEdit(const QString& address) {
    if (address.isEmpty()) {
        m_account->addEmailAccount();
    } else {
        m_account->populateEmailSettings(address);
    }
    m_panels->setCurrentWidget(m_account);
}

void SettingsView::switchViewToFolderEdit(const QString& path) {
    m_folder->populateFolderSettings(path);
    m_panels->setCurrentWidget(m_folder);
}

void SettingsView::addEmailAccount() {
    switchViewToEmailEdit(QString());
    m_list->clearSelectionQuietly();
}

void SettingsView::addEmailAccountUI() {
    m_panels->setCurrentWidget(m_account);
    QTimer::singleShot(kDeselectDelayMs, m_list, &SettingsSourceList::clearSelectionQuietly);
    addEmailAccount();
}

void SettingsView::addFolderItemFromHomeDir() {
    addFolderItemFromPath(SourceFolders::realHomeDirectory());
}

void SettingsView::addFolderItemFromPath(const QString& startFolder) {
    AppContext::FolderRequest request;
    request.title = QStringLiteral("Choose Source Folder containing mBox or eml files");
    request.startFolder = startFolder;
    QPointer<SettingsView> self(this);
    m_app.chooseFolder(this, request, [self](const QString& path) {
        if (!self || FolderSources::addSourcePathToPrefs(self->m_app.store(), path) < 0) {
            return;
        }
        self->switchViewToFolderEdit(path);
        self->m_list->reloadTheData();
        // The chosen folder's row: the new last one, or where it was when it was a source
        // already.
        QTimer::singleShot(kSelectAfterChangeDelayMs, self, [self, path] {
            self->m_list->setSelectedRow(self->m_list->rows().indexOfId(path));
        });
    });
}

void SettingsView::selectRowAboveLater() {
    const int selected = m_list->selectedRow();
    QTimer::singleShot(kSelectAfterChangeDelayMs, this,
                       [this, selected] { m_list->setSelectedRow(selected - 1); });
}

} // namespace tessaly
