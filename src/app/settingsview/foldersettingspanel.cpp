#include "app/settingsview/foldersettingspanel.h"

#include "app/appcontext.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"
#include "settings/accountkeys.h"
#include "settings/emailsettings.h"
#include "settings/settingslist.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace tessaly {

namespace {

constexpr int kRefreshDelayMs = 200;

QLabel* valueLabel(const QString& name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
}

} // namespace

FolderSettingsPanel::FolderSettingsPanel(AppContext& app, QWidget* parent)
    : QWidget(parent)
    , m_app(app)
    , m_watcher(new PreferenceWatcher(&app.store(), kRefreshDelayMs, this))
    , m_sourceFolder(valueLabel(QStringLiteral("sourceFolder"), this))
    , m_destFolder(valueLabel(QStringLiteral("destFolder"), this))
    , m_unreachable(valueLabel(QStringLiteral("destUnreachable"), this))
    , m_pickDestinationFolder(new QPushButton(this))
    , m_removeCustomPath(new QPushButton(QStringLiteral("Use Default"), this))
    , m_startArchiving(new QPushButton(QStringLiteral("Start Archiving"), this))
    , m_removeFolderButton(new QPushButton(QStringLiteral("Remove Folder"), this))
    , m_help(new QToolButton(this)) {
    setAccessibleName(QStringLiteral("Folder source settings"));
    m_sourceFolder->setAccessibleName(QStringLiteral("Source folder"));
    m_destFolder->setAccessibleName(QStringLiteral("Archive folder"));
    m_unreachable->setText(
        QStringLiteral("This folder cannot be reached now. Is its drive mounted? This source is "
                       "not archived until it is back."));
    m_unreachable->hide();

    m_pickDestinationFolder->setObjectName(QStringLiteral("pickDestinationFolder"));
    m_pickDestinationFolder->setAccessibleName(QStringLiteral("Choose archive folder"));
    m_removeCustomPath->setObjectName(QStringLiteral("removeCustomPath"));
    m_removeCustomPath->setAccessibleName(QStringLiteral("Archive into the general folder"));
    m_startArchiving->setObjectName(QStringLiteral("startArchiving"));
    m_startArchiving->setAccessibleName(QStringLiteral("Start archiving this folder"));
    m_removeFolderButton->setObjectName(QStringLiteral("removeFolderButton"));
    m_removeFolderButton->setAccessibleName(QStringLiteral("Remove this folder source"));
    m_help->setObjectName(QStringLiteral("folderHelp"));
    // A plain "?" as on the account panel: themes without a help icon show it all the same.
    m_help->setText(QStringLiteral("?"));
    m_help->setToolTip(QStringLiteral("About folder sources"));
    m_help->setAccessibleName(QStringLiteral("Help on folder sources"));
    m_help->setFocusPolicy(Qt::StrongFocus);

    connect(m_pickDestinationFolder, &QPushButton::clicked, this,
            &FolderSettingsPanel::changeFolderDestination);
    connect(m_removeCustomPath, &QPushButton::clicked, this,
            &FolderSettingsPanel::removeCustomPathClicked);
    connect(m_startArchiving, &QPushButton::clicked, this,
            [this] { m_app.startArchivingJob(m_path); });
    connect(m_removeFolderButton, &QPushButton::clicked, this,
            &FolderSettingsPanel::removeFolderClicked);
    connect(m_help, &QToolButton::clicked, this,
            [this] { m_app.showHelp(QStringLiteral("folder"), this); });
    // The general folder may change meanwhile, and with it the default shown here.
    connect(m_watcher, &PreferenceWatcher::settled, this,
            [this] { populateFolderSettings(m_path); });

    auto* title = new QLabel(QStringLiteral("Folder Source"), this);
    QFont font = title->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    title->setFont(font);
    auto* titleRow = new QHBoxLayout;
    titleRow->addWidget(title, 1);
    titleRow->addWidget(m_help);

    auto* destinationButtons = new QHBoxLayout;
    destinationButtons->addWidget(m_pickDestinationFolder);
    destinationButtons->addWidget(m_removeCustomPath);
    destinationButtons->addStretch(1);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Folder:"), m_sourceFolder);
    form->addRow(QStringLiteral("Archive into:"), m_destFolder);
    form->addRow(QString(), m_unreachable);
    form->addRow(QString(), destinationButtons);

    auto* actions = new QHBoxLayout;
    actions->addWidget(m_startArchiving);
    actions->addStretch(1);
    actions->addWidget(m_removeFolderButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(titleRow);
    layout->addLayout(form);
    layout->addLayout(actions);
    layout->addStretch(1);

    setTabOrder(m_pickDestinationFolder, m_removeCustomPath);
    setTabOrder(m_removeCustomPath, m_startArchiving);
    setTabOrder(m_startArchiving, m_removeFolderButton);
    setTabOrder(m_removeFolderButton, m_help);
    populateFolderSettings(QString());
}

void FolderSettingsPanel::populateFolderSettings(const QString& path) {
    m_path = path;
    const bool shown = !path.isEmpty();
    for (QWidget* control : std::initializer_list<QWidget*>{
             m_pickDestinationFolder, m_removeCustomPath, m_startArchiving, m_removeFolderButton}) {
        control->setEnabled(shown);
    }
    m_sourceFolder->setText(path);
    if (!shown) {
        m_destFolder->clear();
        m_unreachable->hide();
        m_removeCustomPath->hide();
        m_pickDestinationFolder->setText(QStringLiteral("Set Custom"));
        return;
    }
    bool hasOverride = false;
    const QString destination = m_app.accounts().destPathForItem(path, &hasOverride);
    m_removeCustomPath->setVisible(hasOverride);
    m_pickDestinationFolder->setText(hasOverride ? QStringLiteral("Change")
                                                 : QStringLiteral("Set Custom"));
    if (hasOverride) {
        m_destFolder->setText(destination);
    } else {
        m_destFolder->setText(QStringLiteral("Default (%1)")
                                  .arg(destination.isEmpty()
                                           ? QStringLiteral("no archive folder chosen yet")
                                           : destination));
    }
    const FolderLookup folder = URLBookmarkInPrefs::lookup(
        m_app.store(),
        hasOverride ? path + accountkeys::destinationSuffix : prefkeys::destBookmarkURL);
    m_unreachable->setVisible(folder.isSet() && !folder.reachable);
}

void FolderSettingsPanel::changeFolderDestination() {
    if (m_path.isEmpty()) {
        return;
    }
    const FolderLookup own =
        URLBookmarkInPrefs::lookup(m_app.store(), m_path + accountkeys::destinationSuffix);
    AppContext::FolderRequest request;
    request.title = QStringLiteral("Choose Destination Folder");
    request.startFolder = own.isUsable() ? own.path : QString();
    QPointer<FolderSettingsPanel> self(this);
    m_app.chooseFolder(this, request, [self, source = m_path](const QString& chosen) {
        if (!self) {
            return;
        }
        self->m_app.accounts().setDestinationFolder(source, chosen);
        if (self->m_path == source) {
            self->populateFolderSettings(source);
        }
    });
}

void FolderSettingsPanel::removeCustomPathClicked() {
    if (m_path.isEmpty()) {
        return;
    }
    m_app.accounts().setDestinationFolder(m_path, QString());
    populateFolderSettings(m_path);
}

void FolderSettingsPanel::removeFolderClicked() {
    const QString path = m_path;
    if (path.isEmpty() || !FolderSources::removeSourcePathFromPrefs(m_app.store(), path)) {
        return;
    }
    populateFolderSettings(QString());
    Q_EMIT folderRemoved(path);
}

} // namespace tessaly
