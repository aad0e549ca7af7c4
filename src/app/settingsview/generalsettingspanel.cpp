#include "app/settingsview/generalsettingspanel.h"

#include "app/appcontext.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"
#include "settings/settingslist.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tessaly {

namespace {

constexpr int kRefreshDelayMs = 1000;

QLabel* heading(const QString& text) {
    auto* label = new QLabel(text);
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    label->setFont(font);
    return label;
}

} // namespace

GeneralSettingsPanel::GeneralSettingsPanel(AppContext& app, QWidget* parent)
    : QWidget(parent)
    , m_app(app)
    , m_watcher(new PreferenceWatcher(&app.store(), kRefreshDelayMs, this))
    , m_savePath(new QLabel(this))
    , m_unreachable(new QLabel(this))
    , m_changeSavePath(new QPushButton(QStringLiteral("Change…"), this))
    , m_fileNameFormatButton(new QPushButton(QStringLiteral("File Names…"), this))
    , m_updateHours(new QLineEdit(this))
    , m_maxJobs(new QSpinBox(this)) {
    setAccessibleName(QStringLiteral("General settings"));

    m_savePath->setObjectName(QStringLiteral("savePath"));
    m_savePath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_savePath->setWordWrap(true);
    m_savePath->setAccessibleName(QStringLiteral("Archive folder"));
    m_unreachable->setObjectName(QStringLiteral("savePathUnreachable"));
    m_unreachable->setWordWrap(true);
    m_unreachable->setText(
        QStringLiteral("This folder cannot be reached now. Is its drive mounted? Nothing is "
                       "archived until it is back."));
    m_unreachable->hide();
    m_changeSavePath->setAccessibleName(QStringLiteral("Change archive folder"));
    connect(m_changeSavePath, &QPushButton::clicked, this,
            [this] { m_app.chooseDestinationDirectory(); });
    m_fileNameFormatButton->setAccessibleName(QStringLiteral("General file names"));
    connect(m_fileNameFormatButton, &QPushButton::clicked, this,
            [this] { m_app.showPathFormatEditor(QStringLiteral("General"), window()); });

    m_updateHours->setObjectName(QStringLiteral("updateHours"));
    m_updateHours->setAccessibleName(QStringLiteral("Hours between archive runs"));
    m_updateHours->setMaximumWidth(m_updateHours->fontMetrics().horizontalAdvance(u'0') * 10);
    connect(m_updateHours, &QLineEdit::textEdited, this,
            &GeneralSettingsPanel::constrainHoursField);

    m_maxJobs->setObjectName(QStringLiteral("maxNumRenderJobs"));
    m_maxJobs->setAccessibleName(QStringLiteral("Jobs running at once"));
    m_maxJobs->setRange(1, 10);
    connect(m_maxJobs, &QSpinBox::valueChanged, this,
            [this](int value) { m_app.store().setValue(prefkeys::maxNumRenderJobs, value); });

    auto* destinationRow = new QHBoxLayout;
    destinationRow->addWidget(m_savePath, 1);
    destinationRow->addWidget(m_changeSavePath);
    auto* hoursRow = new QHBoxLayout;
    hoursRow->addWidget(m_updateHours);
    hoursRow->addWidget(new QLabel(QStringLiteral("hours"), this));
    hoursRow->addStretch(1);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Archive folder:"), destinationRow);
    form->addRow(QString(), m_unreachable);
    form->addRow(QStringLiteral("File and folder names:"), m_fileNameFormatButton);
    form->addRow(QStringLiteral("Archive everything every:"), hoursRow);
    form->addRow(QStringLiteral("Jobs running at once:"), m_maxJobs);
    form->addRow(QString(), boundCheckBox(QStringLiteral("Windows-friendly file names"),
                                          prefkeys::useWindowsFriendlyFilenames));
    form->addRow(QString(), boundCheckBox(QStringLiteral("Small header text at the foot of pages"),
                                          prefkeys::includeTinyHeaderText));
    form->addRow(QString(),
                 boundCheckBox(QStringLiteral("Load remote images"), prefkeys::loadRemoteImages));
    form->addRow(QString(), boundCheckBox(QStringLiteral("Start archiving when Tessaly starts"),
                                          prefkeys::startArchivingOnLaunch));
    // Consent given once can be taken back here; reports never leave this computer.
    QCheckBox* crashReports =
        boundCheckBox(QStringLiteral("Write crash reports (kept on this computer)"),
                      prefkeys::crashReportsAllowed);
    connect(crashReports, &QCheckBox::toggled, this,
            [this] { m_app.store().setValue(prefkeys::crashReportsAsked, true); });
    form->addRow(QString(), crashReports);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading(QStringLiteral("General Settings")));
    layout->addLayout(form);
    layout->addStretch(1);

    setTabOrder(m_changeSavePath, m_fileNameFormatButton);
    setTabOrder(m_fileNameFormatButton, m_updateHours);
    setTabOrder(m_updateHours, m_maxJobs);

    connect(m_watcher, &PreferenceWatcher::settled, this,
            &GeneralSettingsPanel::prefsRecentlyChanged);
    prefsRecentlyChanged();
}

QCheckBox* GeneralSettingsPanel::boundCheckBox(const QString& text, const QString& key) {
    auto* box = new QCheckBox(text, this);
    box->setObjectName(key);
    box->setAccessibleName(text);
    connect(box, &QCheckBox::toggled, this,
            [this, key](bool on) { m_app.store().setValue(key, on); });
    m_boundBoxes.append({box, key});
    return box;
}

void GeneralSettingsPanel::prefsRecentlyChanged() {
    PreferenceStore& store = m_app.store();
    m_savePath->setText(m_app.destinationDirectory(false));
    const FolderLookup general = URLBookmarkInPrefs::lookup(store, prefkeys::destBookmarkURL);
    m_unreachable->setVisible(general.isSet() && !general.reachable);

    // Typing goes on undisturbed: the field is only set while the user is elsewhere.
    const QString hours = store.stringValue(prefkeys::hoursBetweenUpdates);
    if (!m_updateHours->hasFocus() && m_updateHours->text() != hours) {
        m_updateHours->setText(hours);
    }
    {
        const QSignalBlocker blocker(m_maxJobs);
        m_maxJobs->setValue(store.maxNumRenderJobs());
    }
    for (const auto& [box, key] : m_boundBoxes) {
        const QSignalBlocker blocker(box);
        // Registered defaults answer for keys never stored; the launch option and crash
        // reports default to off.
        box->setChecked(store.boolValue(key, key != prefkeys::startArchivingOnLaunch &&
                                                 key != prefkeys::crashReportsAllowed));
    }
}

void GeneralSettingsPanel::constrainHoursField() {
    const QString text = m_updateHours->text();
    const QString kept = tessaly::constrainHoursField(text);
    if (kept != text) {
        // The cursor stays after the characters it followed.
        const int cursor = m_updateHours->cursorPosition();
        const int before = static_cast<int>(tessaly::constrainHoursField(text.left(cursor)).size());
        m_updateHours->setText(kept);
        m_updateHours->setCursorPosition(before);
    }
    m_app.store().setValue(prefkeys::hoursBetweenUpdates, kept);
}

} // namespace tessaly
