#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tessaly {

// One connection to an SQLite database file that several processes may write at once: WAL
// journal, a busy timeout instead of instant "database is locked" failures, foreign keys on.
// Every call reports failure through its result and lastError(); nothing throws.
class SqliteDatabase {
public:
    // One row of a query: columns in order, as Qt values (NULL is an invalid QVariant).
    using Row = std::vector<QVariant>;

    static constexpr int kBusyTimeoutMs = 30'000;

    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    enum class Mode {
        Create,  // read and write, made when missing
        ReadOnly // an existing file, only read (a backup copy on read-only media, say)
    };
    // Opens the file; nothing with the reason when it cannot.
    static std::unique_ptr<SqliteDatabase> open(const QString& path, Mode mode, QString* error);

    // Runs statements that return no rows (schema, pragmas, BEGIN/COMMIT).
    [[nodiscard]] bool exec(const QString& sql);
    // Runs one statement with positional parameters; the rows it returns go to `rows`.
    [[nodiscard]] bool query(const QString& sql, const QVariantList& parameters,
                             std::vector<Row>* rows = nullptr);
    qint64 lastInsertId() const;
    const QString& lastError() const { return m_error; }

private:
    explicit SqliteDatabase(sqlite3* db);
    bool useWriteAheadLog();
    bool fail(const QString& context);

    struct StatementDeleter {
        void operator()(sqlite3_stmt* statement) const;
    };
    using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

    sqlite3* m_db;
    QString m_error;
    std::unordered_map<QString, StatementPtr> m_statements;
};

// A write transaction taken at once (BEGIN IMMEDIATE), so a read-then-write decision inside it
// cannot race another process; rolled back unless committed.
class SqliteTransaction {
public:
    explicit SqliteTransaction(SqliteDatabase& db);
    ~SqliteTransaction();
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;

    bool began() const { return m_began; }
    [[nodiscard]] bool commit();

private:
    SqliteDatabase& m_db;
    bool m_began = false;
    bool m_done = false;
};

} // namespace tessaly
