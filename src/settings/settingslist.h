#pragma once

#include <QList>
#include <QString>

namespace tessaly {

class PreferenceStore;

// One row of the settings list: a heading, the general settings, a source, or a row that adds
// a source.
struct SettingsRow {
    enum class Icon { None, Settings, Mailbox, Folder, Add };
    enum class Action { None, NewAccount, NewFolder, NewMailbox };

    QString name; // shown
    QString id;   // finds the row again after a rebuild
    Icon icon = Icon::None;
    QString email;  // account rows
    QString folder; // folder-source rows
    Action action = Action::None;
    bool heading = false;

    bool isGeneralSettings() const;
    bool isAccount() const { return !email.isEmpty(); }
    bool isFolderSource() const { return !folder.isEmpty(); }
    bool isAddRow() const { return action != Action::None; }
    bool operator==(const SettingsRow&) const = default;
};

// The rows of the settings list, always derived from the stored source lists, and the one
// piece of state the list keeps of its own: the id of the row the user chose last.
class SettingsList {
public:
    static inline const QString generalHeadingId = QStringLiteral("__General__");
    static inline const QString generalSettingsId = QStringLiteral("__Settings Item__");
    static inline const QString emailHeadingId = QStringLiteral("__EMAIL ACCOUNTS__");
    static inline const QString addAccountId = QStringLiteral("__Add Email Item__");
    static inline const QString folderHeadingId = QStringLiteral("__FOLDERS__");
    static inline const QString addFolderId = QStringLiteral("__Add New Folder Item__");
    static inline const QString addMailboxId = QStringLiteral("__Add New Mailbox Item__");

    // General, then the accounts, then the folder sources, each under its heading and each
    // source list followed by its add rows.
    static QList<SettingsRow> buildRows(const PreferenceStore& store);

    // Makes the rows afresh from the store.
    void rebuild(const PreferenceStore& store) { m_rows = buildRows(store); }
    const QList<SettingsRow>& rows() const { return m_rows; }
    int rowCount() const { return static_cast<int>(m_rows.size()); }
    const SettingsRow& row(int index) const { return m_rows.at(index); }

    // Headings (and rows that do not exist) cannot be selected.
    bool canSelect(int index) const;
    // A row to select for any number: one that is not a row index becomes the third-last row
    // (the last folder source, or the folder heading when there is none), or 0.
    int normalizedRow(int index) const;
    // -1 when no row has the id.
    int indexOfId(const QString& id) const;

    const QString& selectedItemID() const { return m_selectedItemID; }
    void setSelectedItemID(const QString& id) { m_selectedItemID = id; }
    // The row to select again after a rebuild, or -1. Add rows act when chosen and are never
    // selected again by themselves.
    int reselectIndex() const;

private:
    QList<SettingsRow> m_rows;
    QString m_selectedItemID;
};

// The folder sources' list in the store (FolderItems), kept free of duplicates.
class FolderSources {
public:
    // Appends the path unless it is there; returns its index in the list, or -1 for "".
    static int addSourcePathToPrefs(PreferenceStore& store, const QString& path);
    // False when the path was not a folder source.
    static bool removeSourcePathFromPrefs(PreferenceStore& store, const QString& path);
};

// Where the folder choosers of the settings list start.
class SourceFolders {
public:
    // The home folder the user database records for this user (a confined process may have
    // been given another $HOME); $HOME when it has no entry.
    static QString realHomeDirectory();
    // The first folder of a desktop mail client found in `home` (Thunderbird, Evolution, a
    // plain ~/Mail), else `home` itself.
    static QString mailClientFolder(const QString& home);
};

// The hours-between-runs field takes digits and "." only: everything else is dropped,
// keeping the order ("12a.5" gives "12.5").
QString constrainHoursField(const QString& text);

} // namespace tessaly
