#include "platform/index/sqlitedatabase.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <sqlite3.h>

namespace tessaly {

namespace {

int bind(sqlite3_stmt* statement, int index, const QVariant& value) {
    if (!value.isValid() || value.isNull()) {
        return sqlite3_bind_null(statement, index);
    }
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::Bool:
        return sqlite3_bind_int64(statement, index, value.toLongLong());
    case QMetaType::Double:
        return sqlite3_bind_double(statement, index, value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return sqlite3_bind_blob64(statement, index, bytes.constData(),
                                   static_cast<sqlite3_uint64>(bytes.size()), SQLITE_TRANSIENT);
    }
    default: {
        const QByteArray text = value.toString().toUtf8();
        return sqlite3_bind_text64(statement, index, text.constData(),
                                   static_cast<sqlite3_uint64>(text.size()), SQLITE_TRANSIENT,
                                   SQLITE_UTF8);
    }
    }
}

QVariant column(sqlite3_stmt* statement, int index) {
    switch (sqlite3_column_type(statement, index)) {
    case SQLITE_INTEGER:
        return QVariant(static_cast<qint64>(sqlite3_column_int64(statement, index)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(statement, index));
    case SQLITE_BLOB: {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, index));
        return QVariant(QByteArray(data, sqlite3_column_bytes(statement, index)));
    }
    case SQLITE_TEXT: {
        const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
        return QVariant(QString::fromUtf8(data, sqlite3_column_bytes(statement, index)));
    }
    default:
        return QVariant();
    }
}

} // namespace

void SqliteDatabase::StatementDeleter::operator()(sqlite3_stmt* statement) const {
    sqlite3_finalize(statement);
}

SqliteDatabase::SqliteDatabase(sqlite3* db)
    : m_db(db) {
}

SqliteDatabase::~SqliteDatabase() {
    m_statements.clear(); // finalized before the connection closes
    sqlite3_close_v2(m_db);
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const QString& path, Mode mode,
                                                     QString* error) {
    sqlite3* handle = nullptr;
    const int flags =
        (mode == Mode::Create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
        SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &handle, flags, nullptr);
    if (rc != SQLITE_OK) {
        if (error) {
            *error = handle ? QString::fromUtf8(sqlite3_errmsg(handle))
                            : QString::fromUtf8(sqlite3_errstr(rc));
        }
        sqlite3_close_v2(handle);
        return nullptr;
    }
    std::unique_ptr<SqliteDatabase> db(new SqliteDatabase(handle));
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    sqlite3_extended_result_codes(handle, 1);
    if (mode == Mode::ReadOnly) {
        return db;
    }
    // NORMAL is durable in WAL mode up to the last checkpoint, without a sync per commit.
    if (!db->exec(QStringLiteral("PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;")) ||
        !db->useWriteAheadLog()) {
        if (error) {
            *error = db->lastError();
        }
        return nullptr;
    }
    return db;
}

bool SqliteDatabase::useWriteAheadLog() {
    // The journal mode is the file's, set once by whoever makes it. Switching takes a lock
    // that the busy timeout does not wait for, so a process opening the file while another
    // writes it would fail: the mode is only set when it is not set yet, and that is retried.
    QElapsedTimer waited;
    waited.start();
    while (true) {
        std::vector<Row> mode;
        if (query(QStringLiteral("PRAGMA journal_mode"), {}, &mode) && !mode.empty() &&
            mode.front().front().toString().compare(QStringLiteral("wal"), Qt::CaseInsensitive) ==
                0) {
            return true;
        }
        if (exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
            // A file system without shared memory may keep the old mode: the database still
            // works, one writer at a time.
            return true;
        }
        if (sqlite3_errcode(m_db) != SQLITE_BUSY || waited.elapsed() > kBusyTimeoutMs) {
            return false;
        }
        QThread::msleep(10);
    }
}

bool SqliteDatabase::fail(const QString& context) {
    m_error = context + QStringLiteral(": ") + QString::fromUtf8(sqlite3_errmsg(m_db));
    return false;
}

bool SqliteDatabase::exec(const QString& sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK) {
        m_error = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool SqliteDatabase::query(const QString& sql, const QVariantList& parameters,
                           std::vector<Row>* rows) {
    // Statements are prepared once per connection and kept: the same few run for every
    // message of a job.
    auto cached = m_statements.find(sql);
    if (cached == m_statements.end()) {
        sqlite3_stmt* raw = nullptr;
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v2(m_db, text.constData(), static_cast<int>(text.size()), &raw,
                               nullptr) != SQLITE_OK) {
            return fail(sql);
        }
        cached = m_statements.emplace(sql, StatementPtr(raw)).first;
    }
    sqlite3_stmt* const statement = cached->second.get();
    // Ready for the next use however this one ends.
    const std::unique_ptr<sqlite3_stmt, void (*)(sqlite3_stmt*)> resetter(
        statement, [](sqlite3_stmt* done) {
            sqlite3_reset(done);
            sqlite3_clear_bindings(done);
        });
    for (int i = 0; i < parameters.size(); ++i) {
        if (bind(statement, i + 1, parameters[i]) != SQLITE_OK) {
            return fail(sql);
        }
    }
    while (true) {
        const int rc = sqlite3_step(statement);
        if (rc == SQLITE_DONE) {
            return true;
        }
        if (rc != SQLITE_ROW) {
            return fail(sql);
        }
        if (rows) {
            Row row;
            const int columns = sqlite3_column_count(statement);
            row.reserve(static_cast<size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                row.push_back(column(statement, c));
            }
            rows->push_back(std::move(row));
        }
    }
}

qint64 SqliteDatabase::lastInsertId() const {
    return sqlite3_last_insert_rowid(m_db);
}

SqliteTransaction::SqliteTransaction(SqliteDatabase& db)
    : m_db(db)
    , m_began(db.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
}

SqliteTransaction::~SqliteTransaction() {
    if (m_began && !m_done) {
        (void)m_db.exec(QStringLiteral("ROLLBACK"));
    }
}

bool SqliteTransaction::commit() {
    if (!m_began || m_done) {
        return false;
    }
    m_done = m_db.exec(QStringLiteral("COMMIT"));
    return m_done;
}

} // namespace tessaly
