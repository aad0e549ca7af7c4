#include "search/searchquery.h"

#include <utility>

namespace tessaly {

namespace {

const QString kQuote = QStringLiteral("\"");
const QString kAnd = QStringLiteral(" && ");

// The clause templates, filled by putting the term in place of every "%@" as it is: the
// metadata-query syntax has no escaping, and a term never holds a double quote.
const QString kSubjectOne = QStringLiteral("( kMDItemDisplayName == \"%@*\"cd )");
const QString kSubjectMany = QStringLiteral("( kMDItemDisplayName == \"*%@*\"cd )");
const QString kEmailOne =
    QStringLiteral("( (kMDItemKeywords == \"%@*\"cd) || (kMDItemAuthors == \"%@*\"cd) )");
const QString kEmailMany =
    QStringLiteral("( (kMDItemKeywords == \"*%@*\"cd)  || (kMDItemAuthors == \"*%@*\"cd) )");
const QString kAllOne = QStringLiteral("( * == \"%@\"cdw )");
const QString kAllMany = QStringLiteral("( * == \"%@*\"cdw || kMDItemTextContent == \"%@*\"cdw )");

QString addClauses(const QString& query, const QString& text, const QString& one,
                   const QString& many) {
    QString result = query;
    for (const QString& term : SearchQuery::readSpaceAndQuoteDelimitedStringIntoArray(text)) {
        QString clause = term.size() == 1 ? one : many;
        clause.replace(QStringLiteral("%@"), term);
        if (!result.isEmpty()) {
            result += kAnd;
        }
        result += clause;
    }
    return result;
}

// Splits at quotes and spaces: a quote opens a phrase that runs to the next quote (or the end),
// keeping runs of spaces inside it as typed.
QStringList splitTerms(const QString& text) {
    QString spaced = text;
    spaced.replace(kQuote, QStringLiteral(" \" "));
    const QStringList pieces = spaced.split(QLatin1Char(' '), Qt::KeepEmptyParts);

    QStringList terms;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (pieces[i].isEmpty()) {
            continue;
        }
        QString term;
        if (pieces[i] == kQuote) {
            QStringList phrase;
            for (++i; i < pieces.size(); ++i) {
                phrase.append(pieces[i]);
                if (pieces[i] == kQuote) {
                    break;
                }
            }
            term = phrase.join(QLatin1Char(' '));
            term.remove(kQuote);
        } else {
            term = pieces[i];
        }
        term = SearchQuery::trimWhiteStuff(term);
        // An empty term would be a clause that matches every file: it adds nothing to an and,
        // and a field holding only "" or a tab would turn browsing into listing everything.
        if (!term.isEmpty()) {
            terms.append(term);
        }
    }
    return terms;
}

} // namespace

SearchQuery::SearchQuery(QString subject, QString address, QString everywhere)
    : m_subject(std::move(subject))
    , m_address(std::move(address))
    , m_everywhere(std::move(everywhere)) {
}

bool SearchQuery::isEmpty() const {
    return currentQueryString().isEmpty();
}

QString SearchQuery::trimWhiteStuff(const QString& text) {
    return text.trimmed();
}

QStringList SearchQuery::readSpaceAndQuoteDelimitedStringIntoArray(const QString& text) {
    const QStringList split = splitTerms(text);
    QStringList terms;
    for (qsizetype i = 0; i < split.size(); ++i) {
        if (split[i].endsWith(QLatin1Char(':')) && i + 1 < split.size()) {
            terms.append(split[i] + split[i + 1]);
            ++i;
        } else {
            terms.append(split[i]);
        }
    }
    return terms;
}

QStringList SearchQuery::subjectTerms() const {
    return readSpaceAndQuoteDelimitedStringIntoArray(m_subject);
}

QStringList SearchQuery::addressTerms() const {
    return readSpaceAndQuoteDelimitedStringIntoArray(m_address);
}

QStringList SearchQuery::everywhereTerms() const {
    return readSpaceAndQuoteDelimitedStringIntoArray(m_everywhere);
}

QString SearchQuery::addSubjectSearch(const QString& query) const {
    return addClauses(query, m_subject, kSubjectOne, kSubjectMany);
}

QString SearchQuery::addEmailSearch(const QString& query) const {
    return addClauses(query, m_address, kEmailOne, kEmailMany);
}

QString SearchQuery::addAllSearch(const QString& query) const {
    return addClauses(query, m_everywhere, kAllOne, kAllMany);
}

QString SearchQuery::currentQueryString() const {
    return addAllSearch(addEmailSearch(addSubjectSearch(QString())));
}

QStringList SearchQuery::manualQueryStrings() const {
    QStringList strings;
    for (const QString* field : {&m_subject, &m_address, &m_everywhere}) {
        const QString string = trimWhiteStuff(field->toLower());
        // A field of white space alone would give the empty string, which every file name
        // contains: the walk would list the whole archive.
        if (!string.isEmpty()) {
            strings.append(string);
        }
    }
    return strings;
}

bool SearchQuery::searchMatches(const QStringList& strings, const QString& filename,
                                const QStringList& tags) {
    const QString name = filename.toLower();
    for (const QString& string : strings) {
        if (name.contains(string)) {
            return true;
        }
        for (const QString& tag : tags) {
            if (tag.contains(string)) {
                return true;
            }
        }
    }
    return false;
}

} // namespace tessaly
