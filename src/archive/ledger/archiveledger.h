#pragma once

#include "platform/files/filerecord.h"
#include "render/messageoutcome.h"

#include <QMutex>
#include <QSet>
#include <QString>
#include <QVariantList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tessaly {

class SqliteDatabase;

// The record of an archive, kept in a hidden folder at the top of the folder tree a job writes
// into, so it travels with the archive: one row per message with its identity, where it came
// from, how it ended and every file written for it with size and SHA-256. Several processes
// (two jobs, the command line beside the application) use one ledger at once; names are
// reserved in it before anything is written, so no two messages ever get one path.
// Thread-safe: loader threads reserve while the main thread records.
class ArchiveLedger {
public:
    static inline const QString kFolderName = QStringLiteral(".tessaly");
    static inline const QString kFileName = QStringLiteral("ledger.sqlite");

    // Of the shared outcomes, a row holds Reserved, Made, EmlOnly, EmergencyEml, FailedTwice,
    // Unreadable or NotArchived.
    using Outcome = MessageOutcome;

    using File = FileRecord; // paths absolute

    // The answer to "which name may this message take".
    struct Claim {
        enum class Kind {
            Reserved,   // the name is this message's now: render it there
            SameMessage // the message is archived (or being archived by a live run) at `path`
        };
        Kind kind = Kind::Reserved;
        QString path; // absolute, numbered
        int number = 1;
        bool replace = false; // a damaged file of no known message is at the path
        qint64 row = 0;
    };

    // Where a server's message was found: the next run skips it by its UID while the folder's
    // UIDVALIDITY stays the same.
    struct ImapOrigin {
        QString account;
        QString folder;
        quint32 uidValidity = 0;
        quint32 uid = 0;
    };

    // Whether the main file of a finished message looks whole (a sound PDF, a sound EML).
    using Soundness = std::function<bool(const QString& path)>;

    ~ArchiveLedger();
    // Opens or creates the ledger of the archive at `root`; nothing with the reason when it
    // cannot. `sound` is asked about files already at a path.
    static std::unique_ptr<ArchiveLedger> open(const QString& root, Soundness sound,
                                               QString* error);
    // Opens a ledger file that exists, to read it only (a check of the archive): creates and
    // reserves nothing.
    static std::unique_ptr<ArchiveLedger> openExisting(const QString& ledgerFile, QString* error);
    static QString ledgerPath(const QString& root);
    const QString& root() const { return m_root; }

    // The name for a message whose unnumbered path is `basePath`: its own earlier name when it
    // is the same message, else the first free numbered name. A file without a row counts as
    // the same message when it is sound (archives made before the ledger stay as they were).
    // Whether the other files of a numbered name (its EML copy) are free for the message.
    using NameFree = std::function<bool(int number)>;
    // A server's message has its UID noted with the claim, also when it is archived already.
    std::optional<Claim> claim(const QString& identity, const QString& basePath,
                               const QString& source, const NameFree& nameFree, QString* error,
                               const std::optional<ImapOrigin>& origin = std::nullopt);
    // The UIDs of a server folder whose messages are archived (made, or kept as EML only) and
    // whose main file is still there with its recorded size, for the folder's UIDVALIDITY.
    QSet<quint32> archivedUids(const QString& account, const QString& folder, quint32 uidValidity);
    // A quick look without reserving anything: whether the message is archived at its name.
    // Without its identity (a header with no Message-ID) only an unrecorded name can tell.
    bool archivedAlready(const std::optional<QString>& identity, const QString& basePath);

    // How a claimed message ended, once its files are in place; `path` is where its main file
    // ended up.
    [[nodiscard]] bool record(qint64 row, Outcome outcome, const QString& reason,
                              const QString& path, const std::vector<File>& files, QString* error);
    // A message that got no name (it could not be read, say).
    [[nodiscard]] bool recordUnnamed(const QString& identity, const QString& source,
                                     Outcome outcome, const QString& reason, QString* error);
    // Gives up the names this run reserved and never used (a cancelled job), except `keep`
    // (messages in flight: their run's end leaves them to the next run).
    void releaseReservations(const QSet<qint64>& keep = {});
    // Gives up one name this run reserved.
    void release(qint64 row);

    // Every recorded file, for a check of the archive: message count and files.
    struct Entry {
        QString messagePath;
        File file;
    };
    bool recordedFiles(std::vector<Entry>* files, int* messages, QString* error);

private:
    ArchiveLedger(QString root, std::unique_ptr<SqliteDatabase> db, Soundness sound);
    QString relative(const QString& path) const;
    QString absolute(const QString& relative) const;
    bool ownerAlive(const QString& owner) const;
    bool fetchFamily(SqliteDatabase& db, const QString& basePath,
                     std::vector<std::vector<QVariant>>* rows, QString* error) const;
    std::optional<Claim> walk(const QString& identity, const QString& basePath,
                              const std::vector<std::vector<QVariant>>& rows, const QString& source,
                              bool reserve, const NameFree& nameFree, QString* error);
    bool noteOrigin(const ImapOrigin& origin, qint64 row);
    bool releaseWhere(const QString& condition, const QVariantList& parameters);
    bool holdRunLock(QString* error);

    QString m_root;
    std::unique_ptr<SqliteDatabase> m_db;
    // Connections for quick looks, one per thread that looks at once: loader threads of a
    // re-run read side by side, beside the writes.
    std::unique_ptr<SqliteDatabase> takeReader();
    void giveBack(std::unique_ptr<SqliteDatabase> reader);
    std::vector<std::unique_ptr<SqliteDatabase>> m_readers;
    QMutex m_readersMutex;
    bool m_readable = false;
    Soundness m_sound;
    QString m_token;
    int m_lockFd = -1;
    QMutex m_mutex;
};

} // namespace tessaly
