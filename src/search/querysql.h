#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

#include <optional>

namespace tessaly {

class SearchQuery;

// One SQL statement and the values for its "?" placeholders, in order.
struct SqlQuery {
    QString sql;
    QVariantList parameters;
};

// A search's terms as one SELECT over the archive index, with the meaning of the query string:
// case and diacritics ignored; a one-character subject or address term matches the start of a
// name, keyword or author, a longer one anywhere in it; an everything term of one character
// matches a whole word, a longer one the start of a word (a phrase: its words in a row, the
// last one as a start), in any column including the text. Clauses are joined with AND. Every
// term is a bound parameter and reaches FTS5 as a quoted string, so quotes, SQL and FTS5
// operators in it are searched for as text.
class QuerySql {
public:
    // Rows: files.id, path, kind, title, authors, content_date of matching files under any of
    // `roots` (the root itself or below it), newest first, undated last, then by path. No roots
    // select nothing. An empty query selects every file under the roots.
    static SqlQuery select(const SearchQuery& query, const QStringList& roots,
                           std::optional<int> limit = std::nullopt);

    // A term as an FTS5 string: double-quoted, inner double quotes doubled.
    static QString ftsString(const QString& term);
    // A term for LIKE ... ESCAPE '\': its %, _ and \ taken literally.
    static QString likeEscaped(const QString& term);
};

} // namespace tessaly
