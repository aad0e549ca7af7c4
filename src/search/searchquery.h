#pragma once

#include <QString>
#include <QStringList>

namespace tessaly {

// What the user typed into the search view's three fields, and the two forms a search takes
// from it: a query string in the metadata-query syntax (the index translates the same terms to
// SQL, see QuerySql) and the plain lower-case strings of the slow manual walk.
class SearchQuery {
public:
    SearchQuery() = default;
    SearchQuery(QString subject, QString address, QString everywhere);

    const QString& subject() const { return m_subject; }
    const QString& address() const { return m_address; }
    const QString& everywhere() const { return m_everywhere; }
    // True when no field holds a term: the view browses instead of searching.
    bool isEmpty() const;

    bool operator==(const SearchQuery&) const = default;

    static QString trimWhiteStuff(const QString& text);
    // A field's text as its ordered terms: words, double-quoted phrases, and "to:" style
    // prefixes joined to the term after them. Never holds an empty term.
    static QStringList readSpaceAndQuoteDelimitedStringIntoArray(const QString& text);

    QStringList subjectTerms() const;
    QStringList addressTerms() const;
    QStringList everywhereTerms() const;

    // Each returns `query` extended by its field's clauses, joined with " && ".
    QString addSubjectSearch(const QString& query) const;
    QString addEmailSearch(const QString& query) const;
    QString addAllSearch(const QString& query) const;
    // Subject clauses, then address clauses, then everything clauses; empty when there is no term.
    QString currentQueryString() const;

    // One lower-cased, trimmed string per field that holds more than white space.
    QStringList manualQueryStrings() const;
    // The manual walk's test: any string inside the lower-cased file name or inside any tag
    // name as stored (tags are not lower-cased).
    static bool searchMatches(const QStringList& strings, const QString& filename,
                              const QStringList& tags);

private:
    QString m_subject;
    QString m_address;
    QString m_everywhere;
};

} // namespace tessaly
