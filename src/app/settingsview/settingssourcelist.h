#pragma once

#include "settings/settingslist.h"

#include <QAbstractListModel>
#include <QListView>

namespace tessaly {

class PreferenceStore;
class PreferenceWatcher;

// The settings list's rows for a view: headings are shown but can be neither selected nor
// reached with the keyboard.
class SettingsListModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role { IdRole = Qt::UserRole + 1, HeadingRole };

    explicit SettingsListModel(QObject* parent = nullptr);

    // False, and nothing reset, when the rows are the same as before.
    bool rebuild(const PreferenceStore& store);
    SettingsList& list() { return m_list; }
    const SettingsList& list() const { return m_list; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    SettingsList m_list;
};

// The left side of the settings view: general settings, the accounts and the folder sources,
// with rows that add new ones. Choosing a row tells the owner what to show; the list itself
// only keeps the selection, rebuilt from the store 0.2 s after every change of it.
class SettingsSourceList : public QListView {
    Q_OBJECT

public:
    explicit SettingsSourceList(PreferenceStore& store, QWidget* parent = nullptr);

    const SettingsList& rows() const { return m_model->list(); }
    // The selected row, or -1.
    int selectedRow() const;
    // Selects row n and acts on it as a click would. A number that is not a row index picks
    // the third-last row (the last folder source); a row that cannot be selected (a heading)
    // clears the selection.
    void setSelectedRow(int n);
    void clearSelectionQuietly();
    // Rebuilds the rows now and selects the user's last choice again, without acting on it.
    void reloadTheData();

Q_SIGNALS:
    void generalSettingsChosen();
    void accountChosen(const QString& address);
    void folderChosen(const QString& path);
    void addAccountChosen();
    // Add a folder source, choosing it from `startFolder`.
    void addFolderChosen(const QString& startFolder);

protected:
    void selectionChanged(const QItemSelection& selected,
                          const QItemSelection& deselected) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void willSelectMainItem(int row);
    void selectQuietly(int row);

    PreferenceStore& m_store;
    SettingsListModel* m_model;
    PreferenceWatcher* m_watcher;
    // Set while the selection changes without the user: a rebuild, a programmatic selection.
    bool m_quiet = false;
    // Set while arrow keys move the selection: moving onto an add row does not start adding.
    bool m_navigating = false;
};

} // namespace tessaly
