#pragma once

#include "platform/index/sqlitedatabase.h"

#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>
#include <optional>
#include <vector>

namespace tessaly {

// What the index knows of one archive file.
struct IndexedFile {
    QString path; // absolute
    QString root; // the archive root it was found under
    QString kind; // "pdf", "eml", "attachment" or "other"
    QString displayName;
    QString keywords; // the PDF's keywords: the message's addresses
    QString authors;  // the PDF's author: the sender
    QString title;    // the PDF's title: the subject
    QString tags;     // user.xdg.tags as stored, comma-separated
    QString textContent;
    std::optional<qint64> contentDate; // seconds since 1970 UTC
    qint64 mtimeNs = 0;
    qint64 size = 0;
    QString ledgerId; // empty when unknown
};

// How a file looked when it was indexed: a file whose stamp differs is read again.
struct IndexedStamp {
    QString path;
    qint64 mtimeNs = 0;
    qint64 size = 0;
};

// The archive index in its SQLite file. Several processes may use one file (the application and
// the command line); one object is used from one thread at a time. Every change is a batch in
// one transaction, so a crash or a failure leaves the index as it was before the batch.
// Failures are results with lastError() saying why.
class ArchiveIndex {
public:
    // $XDG_DATA_HOME/tessaly/index.sqlite (~/.local/share/tessaly/index.sqlite).
    static QString defaultPath();

    // Opens or makes the index; a missing folder is made readable by the user alone. An index
    // of another schema version is emptied and made anew. Nothing with the reason on failure.
    static std::unique_ptr<ArchiveIndex> open(const QString& path, QString* error);

    // Adds or replaces the files by path, in one transaction.
    [[nodiscard]] bool upsert(const std::vector<IndexedFile>& files);
    // Removes the files by path, in one transaction; paths not indexed are no error.
    [[nodiscard]] bool remove(const QStringList& paths);
    // Empties the index.
    [[nodiscard]] bool clear();
    // The stamps of every indexed file at or below the folder `root`.
    [[nodiscard]] bool stampsUnder(const QString& root, std::vector<IndexedStamp>* stamps);
    // A read for the query side: the SQL with positional parameters, never spliced text.
    [[nodiscard]] bool query(const QString& sql, const QVariantList& parameters,
                             std::vector<SqliteDatabase::Row>* rows);

    const QString& path() const { return m_path; }
    const QString& lastError() const { return m_error; }

private:
    ArchiveIndex(std::unique_ptr<SqliteDatabase> db, QString path);
    bool prepareSchema();
    bool write(const IndexedFile& file);
    bool erase(const QString& path);
    bool fail(const QString& context);

    std::unique_ptr<SqliteDatabase> m_db;
    QString m_path;
    QString m_error;
};

} // namespace tessaly
