#include "settings/settingslist.h"

#include "platform/prefs/preferencestore.h"
#include "settings/accountkeys.h"

#include <QDir>
#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace tessaly {

namespace {

SettingsRow heading(const QString& name, const QString& id) {
    SettingsRow row;
    row.name = name;
    row.id = id;
    row.heading = true;
    return row;
}

SettingsRow addRow(const QString& name, const QString& id, SettingsRow::Action action) {
    SettingsRow row;
    row.name = name;
    row.id = id;
    row.icon = SettingsRow::Icon::Add;
    row.action = action;
    return row;
}

QString folderName(const QString& path) {
    const QString name = QFileInfo(QDir::cleanPath(path)).fileName();
    return name.isEmpty() ? path : name;
}

} // namespace

bool SettingsRow::isGeneralSettings() const {
    return id == SettingsList::generalSettingsId;
}

QList<SettingsRow> SettingsList::buildRows(const PreferenceStore& store) {
    QList<SettingsRow> rows;
    rows.append(heading(QStringLiteral("GENERAL"), generalHeadingId));
    SettingsRow general;
    general.name = QStringLiteral("Settings");
    general.id = generalSettingsId;
    general.icon = SettingsRow::Icon::Settings;
    rows.append(general);

    rows.append(heading(QStringLiteral("EMAIL ACCOUNTS"), emailHeadingId));
    for (const QString& address : store.stringListValue(accountkeys::emailAccounts)) {
        SettingsRow account;
        account.name = address;
        account.id = address;
        account.icon = SettingsRow::Icon::Mailbox;
        account.email = address;
        rows.append(account);
    }
    rows.append(
        addRow(QStringLiteral("Add Account"), addAccountId, SettingsRow::Action::NewAccount));

    rows.append(heading(QStringLiteral("FOLDERS"), folderHeadingId));
    for (const QString& path : store.stringListValue(accountkeys::folderItems)) {
        SettingsRow source;
        source.name = folderName(path);
        source.id = path;
        source.icon = SettingsRow::Icon::Folder;
        source.folder = path;
        rows.append(source);
    }
    rows.append(addRow(QStringLiteral("Add Folder"), addFolderId, SettingsRow::Action::NewFolder));
    rows.append(addRow(QStringLiteral("Add Mailbox From Mail Client"), addMailboxId,
                       SettingsRow::Action::NewMailbox));
    return rows;
}

bool SettingsList::canSelect(int index) const {
    return index >= 0 && index < rowCount() && !m_rows.at(index).heading;
}

int SettingsList::normalizedRow(int index) const {
    if (index >= 0 && index < rowCount()) {
        return index;
    }
    return std::max(rowCount() - 3, 0);
}

int SettingsList::indexOfId(const QString& id) const {
    for (int i = 0; i < rowCount(); ++i) {
        if (m_rows.at(i).id == id) {
            return i;
        }
    }
    return -1;
}

int SettingsList::reselectIndex() const {
    const int index = indexOfId(m_selectedItemID);
    return index >= 0 && canSelect(index) && !m_rows.at(index).isAddRow() ? index : -1;
}

int FolderSources::addSourcePathToPrefs(PreferenceStore& store, const QString& path) {
    if (path.isEmpty()) {
        return -1;
    }
    QStringList folders = store.stringListValue(accountkeys::folderItems);
    qsizetype index = folders.indexOf(path);
    if (index < 0) {
        folders.append(path);
        store.setValue(accountkeys::folderItems, folders);
        index = folders.size() - 1;
    }
    return static_cast<int>(index);
}

bool FolderSources::removeSourcePathFromPrefs(PreferenceStore& store, const QString& path) {
    QStringList folders = store.stringListValue(accountkeys::folderItems);
    if (folders.removeAll(path) == 0) {
        return false;
    }
    store.setValue(accountkeys::folderItems, folders);
    return true;
}

QString SourceFolders::realHomeDirectory() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 16384));
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/') {
        return QFile::decodeName(found->pw_dir);
    }
    return QDir::homePath();
}

QString SourceFolders::mailClientFolder(const QString& home) {
    for (const char* relative : {".thunderbird", ".local/share/evolution/mail", "Mail"}) {
        const QString folder = QDir(home).filePath(QString::fromLatin1(relative));
        if (QFileInfo(folder).isDir()) {
            return folder;
        }
    }
    return home;
}

QString constrainHoursField(const QString& text) {
    QString kept;
    kept.reserve(text.size());
    for (QChar c : text) {
        if ((c >= u'0' && c <= u'9') || c == u'.') {
            kept += c;
        }
    }
    return kept;
}

} // namespace tessaly
