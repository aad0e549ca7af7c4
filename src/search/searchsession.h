#pragma once

#include "search/searchquery.h"

#include <QFutureWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <memory>
#include <optional>

namespace tessaly {

class PreferenceStore;

// One entry the search shows: a file found by the index or the walk, or a folder being
// browsed.
struct SearchResult {
    QString path;
    QString kind;    // "pdf", "eml", "attachment", "other", or "folder" when browsing
    QString title;   // the PDF's title, when the index knows it
    QString authors; // the PDF's author, when the index knows it
    std::optional<qint64> contentDate;
    bool operator==(const SearchResult&) const = default;
};

// The search view without its widgets: what is typed and where, the search it starts 0.5 s
// after the last change, its results (from the index on a worker thread, or from the walk by
// name and tags when the index finds nothing), browsing when nothing is typed, the back
// history, and the results following the index while there are few enough of them.
class SearchSession : public QObject {
    Q_OBJECT

public:
    // Results read from the index at most; with more, the list no longer follows the index.
    static constexpr int kMaxResults = 2000;

    SearchSession(const PreferenceStore& store, QString indexPath, QObject* parent = nullptr);
    ~SearchSession() override;

    const SearchQuery& query() const { return m_query; }
    const QString& pathConstraint() const { return m_pathConstraint; }
    // Each schedules a restart 0.5 s later (a newer change moves it).
    void setQuery(const SearchQuery& query);
    void setPathConstraint(const QString& folder);
    void restartSearchSoon();
    // Runs the search, or browses when nothing is typed.
    void restartSearch();

    // The folders searched: the chosen place, or the archive roots with nested ones merged.
    QStringList currentSearchDirectories() const;

    const QList<SearchResult>& results() const { return m_results; }
    bool nowSearching() const { return m_nowSearching; }
    // Whether the list follows the index (false once a search found more than kMaxResults).
    bool followsIndex() const { return m_followsIndex; }
    // "%d files (working)", "%d files (done)", or "> 10000 (incomplete)".
    QString countLabel() const;
    // The label for `count` items shown, attachments among them.
    static QString countLabel(qsizetype count, bool searching);

    void addHistory();
    bool canGoBack() const { return m_history.size() > 1; }
    // Back to the fields and place before the last change.
    void popHistory();
    // Empty fields, all archives.
    void homeClicked();

public Q_SLOTS:
    // The index changed (a new PDF, a crawler batch): a search that follows it runs again.
    void indexChanged();

Q_SIGNALS:
    void resultsChanged();
    void searchingChanged(bool searching);
    void canGoBackChanged(bool canGoBack);

private:
    struct Snapshot {
        SearchQuery query;
        QString pathConstraint;
        bool operator==(const Snapshot&) const = default;
    };
    struct IndexAnswer {
        QList<SearchResult> results;
        int total = 0;
        QString error;
    };
    void runIndexQuery();
    void indexAnswered(const IndexAnswer& answer, quint64 generation);
    void runManualSearch();
    void browse();
    void install(QList<SearchResult> results);
    void setSearching(bool searching);
    void cancelWork();

    const PreferenceStore& m_store;
    QString m_indexPath;
    SearchQuery m_query;
    QString m_pathConstraint;
    QList<SearchResult> m_results;
    QList<Snapshot> m_history;
    QTimer m_restartTimer;
    bool m_nowSearching = false;
    bool m_followsIndex = false;
    // Answers of superseded searches are dropped.
    quint64 m_generation = 0;
    std::shared_ptr<std::atomic<bool>> m_cancelWalk;
};

} // namespace tessaly
