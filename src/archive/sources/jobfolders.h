#pragma once

#include <QString>
#include <QStringList>

namespace tessaly {

// Where a file job's messages go: the main folder named after the folder the job's paths have
// in common, and each message's sub-folder from its own path below that. A value: the message
// loader works out folders on its own threads.
class JobFolders {
public:
    JobFolders() = default;
    // `splitRoot` is where mailbox messages were split to; their paths are read as if the
    // mailbox's folder held them.
    JobFolders(QString commonBasePath, QString splitRoot, QString jobName);

    // An account's messages: all below a folder named after the account, each in the
    // server folder it came from.
    static JobFolders forAccount(const QString& address);

    static QString commonAncestorEMLPaths(const QStringList& paths);
    static bool keepFolderDueToName(const QString& name);

    QString emlSubFolder(const QString& messagePath) const;
    QString getMainFolder() const;
    // How a message file is named to the user and in the ledger: a message split out of a
    // mailbox by its mailbox and number ("/home/u/mail.mbox (message 12)"), which outlive the
    // split copy; any other file by its path.
    QString sourceDescription(const QString& messagePath) const;
    const QString& commonBasePath() const { return m_commonBasePath; }

private:
    QString m_commonBasePath;
    QString m_splitRoot;
    QString m_jobName;
    QString m_account;
};

} // namespace tessaly
