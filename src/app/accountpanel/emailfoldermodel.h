#pragma once

#include "platform/mail/imapsession.h"

#include <QAbstractListModel>
#include <QList>
#include <QSet>
#include <QString>

namespace tessaly {

class EmailSettings;

// The folders of one listing, in the server's order, each on or off for archiving as the
// account's stored settings say. Folder names come from the server: control characters are
// shown escaped, never interpreted.
class EmailFolderModel : public QAbstractListModel {
    Q_OBJECT

public:
    EmailFolderModel(EmailSettings& accounts, QObject* parent = nullptr);

    // Shows these folders for the address ("" shows every folder on and switches none).
    void setFolders(const QString& address, const QList<ImapFolder>& folders);
    // Reads the switched-off folders again.
    void reload();

    QString folderPath(int row) const;
    bool isOn(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    EmailSettings& m_accounts;
    QString m_address;
    QList<ImapFolder> m_folders;
    QSet<QString> m_off;
};

} // namespace tessaly
