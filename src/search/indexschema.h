#pragma once

#include <QString>

// The archive index: one row per archive file (PDF, EML copy, attachment) under the archive
// roots, in an SQLite file of the user's data folder. The query side builds SQL against these
// tables and columns, always with bound parameters; the index side writes them. A change of
// anything here changes kSchemaVersion, and an index of another version is rebuilt.
namespace tessaly::indexschema {

inline constexpr int kSchemaVersion = 1;

// files: what every search filters and sorts on.
//   id            INTEGER PRIMARY KEY (also the rowid of both full-text tables)
//   path          TEXT NOT NULL UNIQUE   absolute path
//   root          TEXT NOT NULL          the archive root it was found under
//   kind          TEXT NOT NULL          "pdf", "eml", "attachment" or "other"
//   display_name  TEXT NOT NULL          the file name
//   keywords      TEXT NOT NULL          the PDF's keywords (the message's addresses), as stored
//   authors       TEXT NOT NULL          the PDF's author (the sender)
//   title         TEXT NOT NULL          the PDF's title (the subject)
//   tags          TEXT NOT NULL          user.xdg.tags, as stored (comma-separated)
//   folded_name, folded_keywords, folded_authors  TEXT NOT NULL: foldForSearch() of the three
//   content_date  INTEGER                seconds since 1970 UTC of the message; NULL when unknown
//   mtime_ns      INTEGER NOT NULL       the file's modification time when indexed
//   size          INTEGER NOT NULL
//   ledger_id     TEXT                   the archive ledger's identity of the message, if any
inline const QString kCreateFiles = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS files ("
    " id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE, root TEXT NOT NULL,"
    " kind TEXT NOT NULL, display_name TEXT NOT NULL, keywords TEXT NOT NULL DEFAULT '',"
    " authors TEXT NOT NULL DEFAULT '', title TEXT NOT NULL DEFAULT '',"
    " tags TEXT NOT NULL DEFAULT '', folded_name TEXT NOT NULL DEFAULT '',"
    " folded_keywords TEXT NOT NULL DEFAULT '', folded_authors TEXT NOT NULL DEFAULT '',"
    " content_date INTEGER, mtime_ns INTEGER NOT NULL, size INTEGER NOT NULL, ledger_id TEXT)");
inline const QString kCreateFilesIndexes =
    QStringLiteral("CREATE INDEX IF NOT EXISTS files_root ON files(root);"
                   "CREATE INDEX IF NOT EXISTS files_date ON files(content_date)");

// words: word-start matching ("w"), case and diacritics ignored by the tokenizer. Same rowid as
// files. Columns: display_name, keywords, authors, title, tags, text_content (the message's
// text, or the PDF's text when indexed later).
inline const QString kCreateWords = QStringLiteral(
    "CREATE VIRTUAL TABLE IF NOT EXISTS words USING fts5(display_name, keywords, authors, "
    "title, tags, text_content, tokenize = 'unicode61 remove_diacritics 2')");

// grams: matching anywhere inside a name, keyword or author ("*term*"), on the folded columns
// (the trigram tokenizer of this SQLite does not drop diacritics itself). Same rowid as files.
// Terms shorter than three characters cannot use it; they are matched with LIKE on the folded
// columns of files.
inline const QString kCreateGrams = QStringLiteral(
    "CREATE VIRTUAL TABLE IF NOT EXISTS grams USING fts5(folded_name, folded_keywords, "
    "folded_authors, tokenize = 'trigram')");

} // namespace tessaly::indexschema
