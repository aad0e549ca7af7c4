#include "archive/ledger/archiveledger.h"

#include "platform/index/sqlitedatabase.h"
#include "render/destinationpaths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMultiHash>
#include <QUuid>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tessaly {

namespace {

// More twins than this under one name means something is wrong with the names, not the mail.
constexpr int kMaxNumber = 10'000;
// A file at a name smaller than this is the remains of a failed write, not a message's file.
constexpr qint64 kDamagedBelowBytes = 7000;

const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS messages(
    id INTEGER PRIMARY KEY,
    identity TEXT NOT NULL,
    path TEXT,
    source TEXT NOT NULL,
    account TEXT,
    folder TEXT,
    uidvalidity INTEGER,
    uid INTEGER,
    outcome TEXT NOT NULL,
    reason TEXT,
    owner TEXT,
    previous TEXT,
    time TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS messages_path ON messages(path);
CREATE INDEX IF NOT EXISTS messages_source ON messages(source);
CREATE TABLE IF NOT EXISTS files(
    message INTEGER NOT NULL REFERENCES messages(id) ON DELETE CASCADE,
    path TEXT NOT NULL,
    size INTEGER NOT NULL,
    sha256 TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS files_message ON files(message);
CREATE TABLE IF NOT EXISTS imap_uids(
    account TEXT NOT NULL,
    folder TEXT NOT NULL,
    uidvalidity INTEGER NOT NULL,
    uid INTEGER NOT NULL,
    message INTEGER NOT NULL REFERENCES messages(id) ON DELETE CASCADE,
    PRIMARY KEY(account, folder, uidvalidity, uid)) WITHOUT ROWID;
)";

// The ledger travels with the archive, so any later Tessaly must open one made by this one.
// Each step takes a ledger from the version before it to its own; a ledger made before there
// were versions is 0 and has the first step's tables already (they are made only if missing).
struct Migration {
    int version;
    const char* sql;
};
const Migration kMigrations[] = {
    {1, kSchema},
};
constexpr int kLedgerVersion = 1;

bool readVersion(SqliteDatabase& db, int* version) {
    std::vector<SqliteDatabase::Row> rows;
    if (!db.query(QStringLiteral("PRAGMA user_version"), {}, &rows) || rows.empty() ||
        rows.front().empty()) {
        return false;
    }
    *version = rows.front().front().toInt();
    return true;
}

// Brings the ledger to this version's schema, in one transaction: a second run opening the
// same ledger meanwhile waits, then finds nothing left to do.
bool migrate(SqliteDatabase& db, const QString& path, QString* error) {
    auto fail = [&](const QString& why) {
        if (error) {
            *error = why;
        }
        (void)db.exec(QStringLiteral("ROLLBACK"));
        return false;
    };
    int version = 0;
    if (readVersion(db, &version) && version == kLedgerVersion) {
        return true;
    }
    if (!db.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        if (error) {
            *error = db.lastError();
        }
        return false;
    }
    if (!readVersion(db, &version)) {
        return fail(db.lastError());
    }
    if (version > kLedgerVersion) {
        // Written by a later Tessaly: what it keeps there is not known here, so nothing is
        // written over it.
        return fail(QStringLiteral("%1 was written by a newer version of Tessaly (ledger "
                                   "version %2; this one knows up to %3)")
                        .arg(path)
                        .arg(version)
                        .arg(kLedgerVersion));
    }
    for (const Migration& step : kMigrations) {
        if (step.version > version && !db.exec(QString::fromLatin1(step.sql))) {
            return fail(db.lastError());
        }
    }
    if (!db.exec(QStringLiteral("PRAGMA user_version = %1").arg(kLedgerVersion)) ||
        !db.exec(QStringLiteral("COMMIT"))) {
        return fail(db.lastError());
    }
    return true;
}

QString now() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString runLockPath(const QString& root, const QString& token) {
    return root + u'/' + ArchiveLedger::kFolderName + QStringLiteral("/runs/") + token +
           QStringLiteral(".lock");
}

} // namespace

ArchiveLedger::ArchiveLedger(QString root, std::unique_ptr<SqliteDatabase> db, Soundness sound)
    : m_root(std::move(root))
    , m_db(std::move(db))
    , m_sound(std::move(sound))
    , m_token(QUuid::createUuid().toString(QUuid::WithoutBraces)) {
}

ArchiveLedger::~ArchiveLedger() {
    if (m_lockFd >= 0) {
        ::unlink(QFile::encodeName(runLockPath(m_root, m_token)).constData());
        ::close(m_lockFd);
    }
}

QString ArchiveLedger::ledgerPath(const QString& root) {
    return QDir::cleanPath(root) + u'/' + kFolderName + u'/' + kFileName;
}

std::unique_ptr<ArchiveLedger> ArchiveLedger::open(const QString& root, Soundness sound,
                                                   QString* error) {
    const QString cleanRoot = QDir::cleanPath(QDir(root).absolutePath());
    const QString folder = cleanRoot + u'/' + kFolderName;
    if (!QDir().mkpath(folder + QStringLiteral("/runs"))) {
        if (error) {
            *error = QStringLiteral("cannot create the folder %1").arg(folder);
        }
        return nullptr;
    }
    std::unique_ptr<SqliteDatabase> db =
        SqliteDatabase::open(ledgerPath(cleanRoot), SqliteDatabase::Mode::Create, error);
    if (!db) {
        return nullptr;
    }
    if (!migrate(*db, ledgerPath(cleanRoot), error)) {
        return nullptr;
    }
    std::unique_ptr<ArchiveLedger> ledger(
        new ArchiveLedger(cleanRoot, std::move(db), std::move(sound)));
    ledger->m_readable = true;
    if (!ledger->holdRunLock(error)) {
        return nullptr;
    }
    return ledger;
}

std::unique_ptr<ArchiveLedger> ArchiveLedger::openExisting(const QString& ledgerFile,
                                                           QString* error) {
    std::unique_ptr<SqliteDatabase> db =
        SqliteDatabase::open(ledgerFile, SqliteDatabase::Mode::ReadOnly, error);
    if (!db) {
        return nullptr;
    }
    // The root is the folder that holds the hidden folder.
    const QString root = QFileInfo(QFileInfo(ledgerFile).absolutePath()).absolutePath();
    return std::unique_ptr<ArchiveLedger>(new ArchiveLedger(root, std::move(db), {}));
}

bool ArchiveLedger::holdRunLock(QString* error) {
    // Held for as long as this run lives: another process tells a live run's reservations
    // from those a dead run left behind by trying to take it.
    const QByteArray path = QFile::encodeName(runLockPath(m_root, m_token));
    m_lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (error) {
            *error = QStringLiteral("cannot lock %1: %2")
                         .arg(QString::fromLocal8Bit(path), qt_error_string(errno));
        }
        return false;
    }
    return true;
}

bool ArchiveLedger::ownerAlive(const QString& owner) const {
    if (owner.isEmpty() || owner.contains(u'/')) {
        return false;
    }
    const QByteArray path = QFile::encodeName(runLockPath(m_root, owner));
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return false;
    }
    const bool alive = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!alive) {
        ::unlink(path.constData()); // left by a run that ended without tidying up
    }
    ::close(fd);
    return alive;
}

QString ArchiveLedger::relative(const QString& path) const {
    return QDir(m_root).relativeFilePath(path);
}

QString ArchiveLedger::absolute(const QString& relative) const {
    return QDir::cleanPath(m_root + u'/' + relative);
}

bool ArchiveLedger::fetchFamily(SqliteDatabase& db, const QString& basePath,
                                std::vector<SqliteDatabase::Row>* rows, QString* error) const {
    // Every row of the name and its numbered twins in one query: a name that thousands of
    // messages share (no date, no subject) is not walked one query per number.
    const QString base = relative(basePath);
    const QString suffix = base.mid(
        base.lastIndexOf(u'.') > base.lastIndexOf(u'/') ? base.lastIndexOf(u'.') : base.size());
    const QString prefix = base.left(base.size() - suffix.size());
    // Two index ranges: the name itself, and "NAME <number>..." ('!' sorts just after ' ').
    if (!db.query(QStringLiteral("SELECT path, id, identity, outcome, owner FROM messages "
                                 "WHERE path = ?1 UNION ALL "
                                 "SELECT path, id, identity, outcome, owner FROM messages "
                                 "WHERE path >= ?2 AND path < ?3 AND "
                                 "(?4 = '' OR substr(path, -length(?4)) = ?4)"),
                  {base, prefix + u' ', prefix + u'!', suffix}, rows)) {
        if (error) {
            *error = db.lastError();
        }
        return false;
    }
    return true;
}

std::optional<ArchiveLedger::Claim>
ArchiveLedger::walk(const QString& identity, const QString& basePath,
                    const std::vector<SqliteDatabase::Row>& rows, const QString& source,
                    bool reserve, const NameFree& nameFree, QString* error) {
    auto failed = [&]() -> std::optional<Claim> {
        if (error) {
            *error = m_db->lastError();
        }
        return std::nullopt;
    };
    QMultiHash<QString, const SqliteDatabase::Row*> byPath;
    for (const auto& row : rows) {
        byPath.insert(row[0].toString(), &row);
    }
    for (int number = 1; number <= kMaxNumber; ++number) {
        const QString path = DestinationPaths::numberedFile(basePath, number);
        const QList<const SqliteDatabase::Row*> here = byPath.values(relative(path));
        Claim claim{Claim::Kind::SameMessage, path, number, false, 0};
        const auto own = std::find_if(here.begin(), here.end(), [&](const auto* row) {
            return (*row)[2].toString() == identity;
        });
        if (own != here.end()) {
            const SqliteDatabase::Row& row = **own;
            const qint64 id = row[1].toLongLong();
            const QString outcome = row[3].toString();
            const QString owner = row[4].toString();
            const bool exists = QFileInfo::exists(path);
            claim.row = id;
            const bool complete =
                outcome == outcomeName(Outcome::Made) || outcome == outcomeName(Outcome::EmlOnly);
            if (complete && exists && m_sound(path)) {
                return claim;
            }
            // Being archived right now: by this run (a copy of the message), or by another
            // run that is still alive.
            if (outcome == outcomeName(Outcome::Reserved) &&
                (owner == m_token || ownerAlive(owner))) {
                return claim;
            }
            if (!reserve) {
                return Claim{Claim::Kind::Reserved, path, number, false, id};
            }
            // It failed before, or its run died: this run takes the name over, and gives the
            // earlier outcome back if it lets the name go unused.
            if (!m_db->query(QStringLiteral("UPDATE messages SET previous = CASE WHEN outcome = "
                                            "?1 THEN previous ELSE outcome END, outcome = ?1, "
                                            "owner = ?2, time = ?3 WHERE id = ?4"),
                             {outcomeName(Outcome::Reserved), m_token, now(), id})) {
                return failed();
            }
            claim.kind = Claim::Kind::Reserved;
            claim.replace = exists;
            return claim;
        }
        if (!here.isEmpty()) {
            continue; // another message's name
        }
        if (QFileInfo::exists(path)) {
            // A file of no recorded message. Archives made before the ledger had no numbered
            // names: a sound file at the plain name is taken as this message, as those
            // archives always took it; anything else is another message's.
            if (number == 1 && m_sound(path)) {
                return claim;
            }
            if (number > 1 || QFileInfo(path).size() >= kDamagedBelowBytes) {
                continue;
            }
            claim.replace = true; // the remains of a failed write
        }
        if (nameFree && !nameFree(number)) {
            continue; // its EML copy's name holds another message
        }
        claim.kind = Claim::Kind::Reserved;
        if (!reserve) {
            return claim;
        }
        if (!m_db->query(QStringLiteral("INSERT INTO messages(identity, path, source, outcome, "
                                        "owner, time) VALUES(?1, ?2, ?3, ?4, ?5, ?6)"),
                         {identity, relative(path), source, outcomeName(Outcome::Reserved), m_token,
                          now()})) {
            return failed();
        }
        claim.row = m_db->lastInsertId();
        return claim;
    }
    if (error) {
        *error =
            QStringLiteral("more than %1 messages share the name %2").arg(kMaxNumber).arg(basePath);
    }
    return std::nullopt;
}

std::unique_ptr<SqliteDatabase> ArchiveLedger::takeReader() {
    {
        QMutexLocker lock(&m_readersMutex);
        if (!m_readers.empty()) {
            std::unique_ptr<SqliteDatabase> reader = std::move(m_readers.back());
            m_readers.pop_back();
            return reader;
        }
    }
    return m_readable
               ? SqliteDatabase::open(ledgerPath(m_root), SqliteDatabase::Mode::Create, nullptr)
               : nullptr;
}

void ArchiveLedger::giveBack(std::unique_ptr<SqliteDatabase> reader) {
    if (reader) {
        QMutexLocker lock(&m_readersMutex);
        m_readers.push_back(std::move(reader));
    }
}

bool ArchiveLedger::archivedAlready(const std::optional<QString>& identity,
                                    const QString& basePath) {
    // Read on a connection of its own, and the files looked at outside the lock: loader threads
    // of a re-run check their messages side by side.
    std::vector<SqliteDatabase::Row> rows;
    std::unique_ptr<SqliteDatabase> reader = takeReader();
    const bool read = reader && fetchFamily(*reader, basePath, &rows, nullptr);
    giveBack(std::move(reader));
    if (!read) {
        return false;
    }
    if (!identity) {
        // Without the identity only a name no message is recorded at can be decided: a sound
        // file there is the message, as in archives made before the ledger.
        const QString base = relative(basePath);
        const bool recorded = std::any_of(
            rows.begin(), rows.end(), [&](const auto& row) { return row[0].toString() == base; });
        return !recorded && QFileInfo::exists(basePath) && m_sound(basePath);
    }
    const std::optional<Claim> claim =
        walk(*identity, basePath, rows, QString(), false, {}, nullptr);
    return claim && claim->kind == Claim::Kind::SameMessage;
}

std::optional<ArchiveLedger::Claim> ArchiveLedger::claim(const QString& identity,
                                                         const QString& basePath,
                                                         const QString& source,
                                                         const NameFree& nameFree, QString* error,
                                                         const std::optional<ImapOrigin>& origin) {
    QMutexLocker lock(&m_mutex);
    SqliteTransaction transaction(*m_db);
    if (!transaction.began()) {
        if (error) {
            *error = m_db->lastError();
        }
        return std::nullopt;
    }
    std::vector<SqliteDatabase::Row> rows;
    if (!fetchFamily(*m_db, basePath, &rows, error)) {
        return std::nullopt;
    }
    std::optional<Claim> claim = walk(identity, basePath, rows, source, true, nameFree, error);
    // A message archived before the ledger (a file at its name, no row) has no row to note.
    if (claim && origin && claim->row != 0 && !noteOrigin(*origin, claim->row)) {
        if (error) {
            *error = m_db->lastError();
        }
        return std::nullopt;
    }
    if (claim && !transaction.commit()) {
        if (error) {
            *error = m_db->lastError();
        }
        return std::nullopt;
    }
    return claim;
}

bool ArchiveLedger::noteOrigin(const ImapOrigin& origin, qint64 row) {
    // The message's own row keeps where it was first found; every copy of it on the server
    // is noted beside it.
    return m_db->query(QStringLiteral("INSERT OR REPLACE INTO imap_uids(account, folder, "
                                      "uidvalidity, uid, message) VALUES(?1, ?2, ?3, ?4, ?5)"),
                       {origin.account, origin.folder, origin.uidValidity, origin.uid, row}) &&
           m_db->query(
               QStringLiteral("UPDATE messages SET account = ?1, folder = ?2, "
                              "uidvalidity = ?3, uid = ?4 WHERE id = ?5 AND account IS NULL"),
               {origin.account, origin.folder, origin.uidValidity, origin.uid, row});
}

QSet<quint32> ArchiveLedger::archivedUids(const QString& account, const QString& folder,
                                          quint32 uidValidity) {
    QSet<quint32> uids;
    std::unique_ptr<SqliteDatabase> reader = takeReader();
    if (!reader) {
        return uids;
    }
    std::vector<SqliteDatabase::Row> rows;
    if (reader->query(QStringLiteral("SELECT u.uid, m.path, (SELECT f.size FROM files f WHERE "
                                     "f.message = m.id AND f.path = m.path) FROM imap_uids u "
                                     "JOIN messages m ON m.id = u.message WHERE u.account = ?1 "
                                     "AND u.folder = ?2 AND u.uidvalidity = ?3 AND m.outcome "
                                     "IN (?4, ?5)"),
                      {account, folder, uidValidity, outcomeName(Outcome::Made),
                       outcomeName(Outcome::EmlOnly)},
                      &rows)) {
        uids.reserve(static_cast<qsizetype>(rows.size()));
        for (const auto& row : rows) {
            // The UID alone would keep a file the user deleted (or one cut short) missing for
            // good: such a message goes on to the check by its header, which makes it again
            // as a job over files would. A stat per message keeps a re-run cheap.
            const QString path = row[1].toString();
            const QFileInfo file(absolute(path));
            if (!path.isEmpty() && file.isFile() &&
                (row[2].isNull() || file.size() == row[2].toLongLong())) {
                uids.insert(row[0].toUInt());
            }
        }
    }
    giveBack(std::move(reader));
    return uids;
}

bool ArchiveLedger::record(qint64 row, Outcome outcome, const QString& reason, const QString& path,
                           const std::vector<File>& files, QString* error) {
    QMutexLocker lock(&m_mutex);
    SqliteTransaction transaction(*m_db);
    bool ok = transaction.began() &&
              m_db->query(QStringLiteral("UPDATE messages SET outcome = ?1, reason = ?2, "
                                         "path = coalesce(?3, path), owner = NULL, "
                                         "previous = NULL, time = ?4 WHERE id = ?5"),
                          {outcomeName(outcome), reason.isEmpty() ? QVariant() : reason,
                           path.isEmpty() ? QVariant() : relative(path), now(), row}) &&
              m_db->query(QStringLiteral("DELETE FROM files WHERE message = ?1"), {row});
    for (const File& file : files) {
        ok = ok && m_db->query(QStringLiteral("INSERT INTO files(message, path, size, sha256) "
                                              "VALUES(?1, ?2, ?3, ?4)"),
                               {row, relative(file.path), file.size, file.sha256});
    }
    ok = ok && transaction.commit();
    if (!ok && error) {
        *error = m_db->lastError();
    }
    return ok;
}

bool ArchiveLedger::recordUnnamed(const QString& identity, const QString& source, Outcome outcome,
                                  const QString& reason, QString* error) {
    QMutexLocker lock(&m_mutex);
    SqliteTransaction transaction(*m_db);
    // One row per source: a file that stays unreadable is not counted again on every run.
    const bool ok =
        transaction.began() &&
        m_db->query(QStringLiteral("DELETE FROM messages WHERE source = ?1 AND path IS NULL AND "
                                   "outcome = ?2"),
                    {source, outcomeName(outcome)}) &&
        m_db->query(QStringLiteral("INSERT INTO messages(identity, source, outcome, reason, time) "
                                   "VALUES(?1, ?2, ?3, ?4, ?5)"),
                    {identity, source, outcomeName(outcome), reason, now()}) &&
        transaction.commit();
    if (!ok && error) {
        *error = m_db->lastError();
    }
    return ok;
}

bool ArchiveLedger::releaseWhere(const QString& condition, const QVariantList& parameters) {
    // A name taken over from an earlier run gets its earlier outcome back; a new one goes.
    QVariantList both = parameters;
    both.append(m_token);
    both.append(outcomeName(Outcome::Reserved));
    const QString mine = QStringLiteral(" AND owner = ?%1 AND outcome = ?%2")
                             .arg(parameters.size() + 1)
                             .arg(parameters.size() + 2);
    SqliteTransaction transaction(*m_db);
    return transaction.began() &&
           m_db->query(QStringLiteral("UPDATE messages SET outcome = previous, previous = NULL, "
                                      "owner = NULL WHERE previous IS NOT NULL AND ") +
                           condition + mine,
                       both) &&
           m_db->query(QStringLiteral("DELETE FROM messages WHERE ") + condition + mine, both) &&
           transaction.commit();
}

void ArchiveLedger::releaseReservations(const QSet<qint64>& keep) {
    QMutexLocker lock(&m_mutex);
    QStringList kept;
    for (qint64 row : keep) {
        kept.append(QString::number(row));
    }
    const QString condition = kept.isEmpty()
                                  ? QStringLiteral("1")
                                  : QStringLiteral("id NOT IN (%1)").arg(kept.join(u','));
    if (!releaseWhere(condition, {})) {
        // Left to the next run, which takes them over once this run's lock is gone.
    }
}

void ArchiveLedger::release(qint64 row) {
    QMutexLocker lock(&m_mutex);
    if (!releaseWhere(QStringLiteral("id = ?1"), {row})) {
        // Left to the next run, which takes it over once this run's lock is gone.
    }
}

bool ArchiveLedger::recordedFiles(std::vector<Entry>* files, int* messages, QString* error) {
    QMutexLocker lock(&m_mutex);
    std::vector<SqliteDatabase::Row> rows;
    std::vector<SqliteDatabase::Row> count;
    if (!m_db->query(QStringLiteral("SELECT m.path, f.path, f.size, f.sha256 FROM files f "
                                    "JOIN messages m ON m.id = f.message ORDER BY f.path"),
                     {}, &rows) ||
        !m_db->query(QStringLiteral("SELECT count(*) FROM messages WHERE outcome IN (?1, ?2, ?3, "
                                    "?4, ?5)"),
                     {outcomeName(Outcome::Made), outcomeName(Outcome::EmlOnly),
                      outcomeName(Outcome::EmergencyEml), outcomeName(Outcome::FailedTwice),
                      outcomeName(Outcome::NotArchived)},
                     &count)) {
        if (error) {
            *error = m_db->lastError();
        }
        return false;
    }
    for (const auto& row : rows) {
        files->push_back(
            {absolute(row[0].toString()),
             File{absolute(row[1].toString()), row[2].toLongLong(), row[3].toString()}});
    }
    *messages = count.empty() ? 0 : static_cast<int>(count.front()[0].toLongLong());
    return true;
}

} // namespace tessaly
