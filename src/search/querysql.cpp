#include "search/querysql.h"

#include "search/searchquery.h"
#include "search/textfold.h"

namespace tessaly {

namespace {

// The trigram table finds only terms of at least three characters.
constexpr qsizetype kMinGramLength = 3;

// Keywords are stored as one string of addresses joined with this.
const QString kKeywordSeparator = QStringLiteral(", ");

const QString kLikeClause = QStringLiteral("%1 LIKE ? ESCAPE '\\'");

qsizetype characterCount(const QString& text) {
    return static_cast<qsizetype>(text.toUcs4().size());
}

// Whether the word tokenizer keeps anything of the term: it splits at everything but letters,
// numbers and private-use characters.
bool hasWordCharacter(const QString& term) {
    for (const char32_t c : term.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (QChar::isLetterOrNumber(c) || category == QChar::Other_PrivateUse) {
            return true;
        }
    }
    return false;
}

// Collects the WHERE clauses and their parameters in order.
class ClauseBuilder {
public:
    void add(const QString& clause, const QVariantList& parameters) {
        m_clauses.append(clause);
        m_parameters.append(parameters);
    }

    // `folded` occurs inside one of `columns`; the trigram table narrows the rows first when
    // it can, and the LIKE decides: the gram match is only as exact as its own case folding.
    void addContains(const QString& folded, const QStringList& columns) {
        const QString pattern = QStringLiteral("%") + QuerySql::likeEscaped(folded) + u'%';
        QStringList likes;
        QVariantList parameters;
        if (characterCount(folded) >= kMinGramLength) {
            parameters.append(
                QStringLiteral("{%1} : %2").arg(columns.join(u' '), QuerySql::ftsString(folded)));
        }
        for (const QString& column : columns) {
            likes.append(kLikeClause.arg(QStringLiteral("files.") + column));
            parameters.append(pattern);
        }
        QString clause = QStringLiteral("(%1)").arg(likes.join(QStringLiteral(" OR ")));
        if (characterCount(folded) >= kMinGramLength) {
            clause =
                QStringLiteral("(files.id IN (SELECT rowid FROM grams WHERE grams MATCH ?) AND %1)")
                    .arg(clause);
        }
        add(clause, parameters);
    }

    void addWords(const QString& ftsQuery) {
        add(QStringLiteral("files.id IN (SELECT rowid FROM words WHERE words MATCH ?)"),
            {ftsQuery});
    }

    QString where() const {
        return m_clauses.isEmpty() ? QString() : m_clauses.join(QStringLiteral(" AND "));
    }
    const QVariantList& parameters() const { return m_parameters; }

private:
    QStringList m_clauses;
    QVariantList m_parameters;
};

const QStringList kNameColumns = {QStringLiteral("folded_name")};
const QStringList kAddressColumns = {QStringLiteral("folded_keywords"),
                                     QStringLiteral("folded_authors")};
const QStringList kFoldedColumns = {QStringLiteral("folded_name"),
                                    QStringLiteral("folded_keywords"),
                                    QStringLiteral("folded_authors")};

void addSubject(ClauseBuilder& builder, const QString& term) {
    const QString folded = foldForSearch(term);
    if (term.size() == 1) {
        builder.add(kLikeClause.arg(QStringLiteral("files.folded_name")),
                    {QuerySql::likeEscaped(folded) + u'%'});
    } else {
        builder.addContains(folded, kNameColumns);
    }
}

void addAddress(ClauseBuilder& builder, const QString& term) {
    const QString folded = foldForSearch(term);
    if (term.size() == 1) {
        // Any one of the keywords may begin with it, not only the first.
        const QString start = QuerySql::likeEscaped(folded) + u'%';
        builder.add(QStringLiteral("(%1 OR %2 OR %3)")
                        .arg(kLikeClause.arg(QStringLiteral("files.folded_keywords")),
                             kLikeClause.arg(QStringLiteral("files.folded_keywords")),
                             kLikeClause.arg(QStringLiteral("files.folded_authors"))),
                    {start, QStringLiteral("%") + kKeywordSeparator + start, start});
    } else {
        builder.addContains(folded, kAddressColumns);
    }
}

void addEverywhere(ClauseBuilder& builder, const QString& term) {
    if (!hasWordCharacter(term)) {
        // Punctuation alone makes no word, so the word table cannot find it; look for it as
        // typed in the names, keywords and authors instead.
        builder.addContains(foldForSearch(term), kFoldedColumns);
    } else if (term.size() == 1) {
        builder.addWords(QuerySql::ftsString(term));
    } else {
        builder.addWords(QuerySql::ftsString(term) + QStringLiteral(" *"));
    }
}

void addRoots(ClauseBuilder& builder, const QStringList& roots) {
    QStringList alternatives;
    QVariantList parameters;
    for (QString root : roots) {
        while (root.size() > 1 && root.endsWith(u'/')) {
            root.chop(1);
        }
        if (root.isEmpty()) {
            continue;
        }
        // Paths below the root sort from "root/" up to, not including, "root0" ('0' follows
        // '/'); unlike LIKE this is case-sensitive, as the file system is, and uses the path
        // index.
        const QString below = root.endsWith(u'/') ? root : root + u'/';
        alternatives.append(
            QStringLiteral("files.path = ? OR (files.path >= ? AND files.path < ?)"));
        parameters << root << below << below.chopped(1) + u'0';
    }
    if (alternatives.isEmpty()) {
        builder.add(QStringLiteral("0"), {});
        return;
    }
    builder.add(QStringLiteral("(%1)").arg(alternatives.join(QStringLiteral(" OR "))), parameters);
}

} // namespace

SqlQuery QuerySql::select(const SearchQuery& query, const QStringList& roots,
                          std::optional<int> limit) {
    ClauseBuilder builder;
    addRoots(builder, roots);
    for (const QString& term : query.subjectTerms()) {
        addSubject(builder, term);
    }
    for (const QString& term : query.addressTerms()) {
        addAddress(builder, term);
    }
    for (const QString& term : query.everywhereTerms()) {
        addEverywhere(builder, term);
    }

    SqlQuery result;
    result.sql = QStringLiteral("SELECT files.id, files.path, files.kind, files.title, "
                                "files.authors, files.content_date FROM files WHERE ") +
                 builder.where() +
                 QStringLiteral(" ORDER BY files.content_date IS NULL, files.content_date DESC, "
                                "files.path");
    result.parameters = builder.parameters();
    if (limit) {
        result.sql += QStringLiteral(" LIMIT ?");
        result.parameters.append(qMax(0, *limit));
    }
    return result;
}

QString QuerySql::ftsString(const QString& term) {
    QString quoted = term;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QString QuerySql::likeEscaped(const QString& term) {
    QString escaped;
    escaped.reserve(term.size());
    for (const QChar c : term) {
        if (c == u'\\' || c == u'%' || c == u'_') {
            escaped.append(u'\\');
        }
        escaped.append(c);
    }
    return escaped;
}

} // namespace tessaly
