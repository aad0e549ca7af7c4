#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QToolButton;

namespace tessaly {

class AppContext;
class PreferenceWatcher;

// One folder source: where it is, where its archives go (its own folder or the general one),
// and buttons to change that, archive it now or stop archiving it.
class FolderSettingsPanel : public QWidget {
    Q_OBJECT

public:
    explicit FolderSettingsPanel(AppContext& app, QWidget* parent = nullptr);

    // Shows the folder source at `path`; "" empties the panel.
    void populateFolderSettings(const QString& path);
    const QString& path() const { return m_path; }

    QLabel* sourceLabel() const { return m_sourceFolder; }
    QLabel* destinationLabel() const { return m_destFolder; }

Q_SIGNALS:
    // The shown folder is no longer a source; the panel is empty now.
    void folderRemoved(const QString& path);

private:
    void changeFolderDestination();
    void removeCustomPathClicked();
    void removeFolderClicked();

    AppContext& m_app;
    PreferenceWatcher* m_watcher;
    QString m_path;
    QLabel* m_sourceFolder;
    QLabel* m_destFolder;
    QLabel* m_unreachable;
    QPushButton* m_pickDestinationFolder;
    QPushButton* m_removeCustomPath;
    QPushButton* m_startArchiving;
    QPushButton* m_removeFolderButton;
    QToolButton* m_help;
};

} // namespace tessaly
