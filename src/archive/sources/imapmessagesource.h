#pragma once

#include "archive/ledger/archiveledger.h"
#include "archive/sources/jobfolders.h"
#include "archive/sources/messagesource.h"
#include "archive/sources/orderedwork.h"
#include "platform/mail/imapsession.h"
#include "render/joboptions.h"

#include <QFutureWatcher>
#include <QList>
#include <QSet>
#include <QStringList>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace tessaly {

class MCOMessageHeader;

// An account's messages for a job. First the folder list and the headers of every folder that
// is on, folder by folder (the last listed first) in chunks of at most 5000, each chunk one
// command; messages whose UID the archive's ledger has for the folder's UIDVALIDITY are not
// fetched at all. Then each remaining message is checked against the ledger by its header,
// fetched whole, parsed and given its name on worker threads, a few ahead of the engines.
// A fetch that fails is tried once more after every other message has been handed out.
class ImapMessageSource : public MessageSource {
    Q_OBJECT

public:
    static constexpr quint32 kChunkSize = 5000;
    // How often a header chunk or a folder is asked for again after its connection dropped.
    static constexpr int kConnectionRetries = 2;

    struct Chunk {
        QString folder;
        quint32 start = 1;
        quint32 numToFetch = 0; // the chunk covers start … start + numToFetch
        int attempts = 0;
    };
    // The chunks of a folder of `count` messages, in the order they are queued; they are
    // fetched from the end of the list.
    static QList<Chunk> chunksFor(const QString& folder, int count);
    // A server's folder name as log and status lines show it: control characters escaped.
    static QString displayName(const QString& folder);
    // The session an account's job signs in with, made from its options.
    static ImapSessionSettings sessionSettings(const JobOptions& options);
    // A message's identity known before it is downloaded: its header's, or without a
    // Message-ID the digest of the header block and the size the server gives.
    static QString identityOf(const MCOMessageHeader& header, const QByteArray& headerBlock,
                              qint64 size);

    ImapMessageSource(JobOptions options, JobFolders folders, std::shared_ptr<ArchiveLedger> ledger,
                      std::unique_ptr<ImapSession> session, QObject* parent = nullptr);
    ~ImapMessageSource() override;

    void start();

    bool headersFetched() const { return m_headersFetched; }
    bool finished() const override;
    std::optional<LoadedMessage> take() override;
    int readyNeedingEngines() const override;
    void setReadyLimit(int limit) override;

    // Messages found in the folders that are on.
    int totalEmailCount() const { return m_total; }
    // Whole messages downloaded so far (a re-run over an archived account downloads none).
    int bodiesFetched() const { return m_bodiesFetched; }
    ImapSession* session() const { return m_session.get(); }
    const QStringList& allFolders() const { return m_allFolders; }

Q_SIGNALS:
    // The header phase's status line; its text may hold a server's folder name.
    void progress(const QString& line, double fraction);
    // The folder list could not be had, or no folder is left to archive: the job cannot run.
    void folderListFailed(const QString& error);
    // Messages that will not be archived this run, and why (a folder that could not be read).
    void notArchived(const QString& source, const QString& reason, int messages);

private:
    struct Pending {
        QString folder;
        quint32 uidValidity = 0;
        ImapMessage message;
        QString identity;
        bool retry = false;
    };
    struct Checked {
        Pending pending;
        bool archived = false;
        QString claimError;
    };

    void fetchFolderNames(bool retry);
    void nextFolder();
    void folderInfoArrived(const QString& folder, const ImapError& error,
                           const ImapFolderInfo& info, int attempts);
    void downloadNextChunkofHeaders();
    void chunkArrived(Chunk chunk, const ImapError& error, const QList<ImapMessage>& messages,
                      bool uidsOnly);
    void chunkFailed(Chunk chunk, const ImapError& error);
    void updateFoldersBeingFetched();
    void finishHeaders();

    void fill();
    void sortChecked(std::vector<Checked>&& batch);
    void startFetch(Pending pending);
    void fetchArrived(Pending pending, const ImapError& error, const QByteArray& data);
    QString source(const Pending& pending) const;
    ArchiveLedger::ImapOrigin origin(const Pending& pending) const;
    int inFlight() const;

    const JobOptions m_options;
    const JobFolders m_folders;
    const QString m_account;
    std::shared_ptr<ArchiveLedger> m_ledger;
    std::unique_ptr<ImapSession> m_session;
    int m_readyLimit = 4;

    // header phase
    QStringList m_allFolders;
    QStringList m_foldersToFetch;
    std::optional<QString> m_folderBeingFetched;
    quint32 m_uidValidity = 0;
    QSet<quint32> m_archivedUids;
    QSet<quint32> m_folderUids;    // taken from the folder being fetched
    QSet<quint32> m_folderNumbers; // their message numbers, skipped ones included
    QList<Chunk> m_headerChunksToDownload;
    bool m_headersFetched = false;
    int m_total = 0;

    // render phase
    std::deque<Pending> m_fetchedHeaders;
    int m_skipped = 0; // archived by UID, still to be counted out
    OrderedWork<std::vector<Checked>> m_checking;
    std::deque<Pending> m_needBody;
    int m_fetching = 0;
    OrderedWork<LoadedMessage> m_parsing;
    std::deque<LoadedMessage> m_ready;
    QList<Pending> m_fetchFailures;
    int m_bodiesFetched = 0;
};

} // namespace tessaly
