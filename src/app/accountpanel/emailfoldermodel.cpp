#include "app/accountpanel/emailfoldermodel.h"

#include "archive/sources/imapmessagesource.h"
#include "settings/emailsettings.h"

#include <QGuiApplication>
#include <QPalette>

namespace tessaly {

EmailFolderModel::EmailFolderModel(EmailSettings& accounts, QObject* parent)
    : QAbstractListModel(parent)
    , m_accounts(accounts) {
}

void EmailFolderModel::setFolders(const QString& address, const QList<ImapFolder>& folders) {
    beginResetModel();
    m_address = address;
    m_folders = folders;
    const QStringList off = m_accounts.foldersTurnedOff(address);
    m_off = QSet<QString>(off.begin(), off.end());
    endResetModel();
}

void EmailFolderModel::reload() {
    const QStringList off = m_accounts.foldersTurnedOff(m_address);
    m_off = QSet<QString>(off.begin(), off.end());
    if (!m_folders.isEmpty()) {
        Q_EMIT dataChanged(index(0), index(int(m_folders.size()) - 1));
    }
}

QString EmailFolderModel::folderPath(int row) const {
    return row >= 0 && row < m_folders.size() ? m_folders.at(row).path : QString();
}

bool EmailFolderModel::isOn(int row) const {
    return row >= 0 && row < m_folders.size() && !m_off.contains(m_folders.at(row).path);
}

int EmailFolderModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_folders.size());
}

QVariant EmailFolderModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_folders.size()) {
        return {};
    }
    const bool on = isOn(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return ImapMessageSource::displayName(m_folders.at(index.row()).path);
    case Qt::AccessibleTextRole:
        return ImapMessageSource::displayName(m_folders.at(index.row()).path);
    case Qt::AccessibleDescriptionRole:
        return on ? tr("archived") : tr("not archived");
    case Qt::CheckStateRole:
        return on ? Qt::Checked : Qt::Unchecked;
    case Qt::ForegroundRole:
        if (!on) {
            // The palette's own gray, so the row stays readable in a dark palette.
            return QGuiApplication::palette().brush(QPalette::Disabled, QPalette::Text);
        }
        return {};
    default:
        return {};
    }
}

QVariant EmailFolderModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        return tr("Folders to archive");
    }
    return {};
}

Qt::ItemFlags EmailFolderModel::flags(const QModelIndex& index) const {
    // Not selectable and not checkable by the view: a click or Space toggles the folder
    // through the panel, which stores it.
    return index.isValid() ? Qt::ItemIsEnabled : Qt::NoItemFlags;
}

} // namespace tessaly
