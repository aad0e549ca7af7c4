#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace tessaly {

class AppContext;
class PreferenceWatcher;

// The general settings: where archives go, the general file names, how often and how many
// jobs run, and the file and page options every job copies. Controls write the preferences as
// they change; the panel reads them back 1.0 s after any change made elsewhere.
class GeneralSettingsPanel : public QWidget {
    Q_OBJECT

public:
    explicit GeneralSettingsPanel(AppContext& app, QWidget* parent = nullptr);

    // Shows the stored values again.
    void prefsRecentlyChanged();

    QLabel* destinationLabel() const { return m_savePath; }
    QLineEdit* hoursField() const { return m_updateHours; }

private:
    void constrainHoursField();
    QCheckBox* boundCheckBox(const QString& text, const QString& key);

    AppContext& m_app;
    PreferenceWatcher* m_watcher;
    QLabel* m_savePath;
    QLabel* m_unreachable;
    QPushButton* m_changeSavePath;
    QPushButton* m_fileNameFormatButton;
    QLineEdit* m_updateHours;
    QSpinBox* m_maxJobs;
    QList<QPair<QCheckBox*, QString>> m_boundBoxes;
};

} // namespace tessaly
