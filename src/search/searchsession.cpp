#include "search/searchsession.h"

#include "search/archiveindex.h"
#include "search/archiveindexer.h"
#include "search/manualsearch.h"
#include "search/querysql.h"
#include "search/searchscopes.h"

#include <QDir>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace tessaly {

namespace {

constexpr int kRestartDelayMs = 500;
constexpr int kIncompleteCount = 10000;

SearchResult resultForPath(const QString& path) {
    const QString kind =
        QFileInfo(path).isDir() ? QStringLiteral("folder") : ArchiveIndexer::kindOf(path);
    return {path, kind, {}, {}, std::nullopt};
}

} // namespace

SearchSession::SearchSession(const PreferenceStore& store, QString indexPath, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_indexPath(std::move(indexPath)) {
    m_restartTimer.setSingleShot(true);
    m_restartTimer.setInterval(kRestartDelayMs);
    connect(&m_restartTimer, &QTimer::timeout, this, &SearchSession::restartSearch);
}

SearchSession::~SearchSession() {
    cancelWork();
}

void SearchSession::setQuery(const SearchQuery& query) {
    m_query = query;
    restartSearchSoon();
}

void SearchSession::setPathConstraint(const QString& folder) {
    m_pathConstraint = folder;
    restartSearchSoon();
}

void SearchSession::restartSearchSoon() {
    m_restartTimer.start();
}

QStringList SearchSession::currentSearchDirectories() const {
    if (!m_pathConstraint.isEmpty()) {
        return {m_pathConstraint};
    }
    return SearchScopes::coalescePaths(SearchScopes::topPathsJustPaths(m_store));
}

void SearchSession::cancelWork() {
    ++m_generation;
    if (m_cancelWalk) {
        m_cancelWalk->store(true);
        m_cancelWalk.reset();
    }
}

void SearchSession::restartSearch() {
    m_restartTimer.stop();
    cancelWork();
    addHistory();
    m_followsIndex = false;
    install({});
    if (m_query.isEmpty()) {
        setSearching(false);
        browse();
        return;
    }
    setSearching(true);
    runIndexQuery();
}

void SearchSession::runIndexQuery() {
    const SqlQuery sql = QuerySql::select(m_query, currentSearchDirectories(), kMaxResults + 1);
    const quint64 generation = m_generation;
    QtConcurrent::run([path = m_indexPath, sql] {
        IndexAnswer answer;
        QString error;
        const std::unique_ptr<ArchiveIndex> index = ArchiveIndex::open(path, &error);
        std::vector<SqliteDatabase::Row> rows;
        if (!index || !index->query(sql.sql, sql.parameters, &rows)) {
            answer.error = index ? index->lastError() : error;
            return answer;
        }
        answer.total = static_cast<int>(rows.size());
        for (const SqliteDatabase::Row& row : rows) {
            if (answer.results.size() >= kMaxResults) {
                break;
            }
            const QString file = row[1].toString();
            // The index may still list a file removed since it last looked.
            if (!QFileInfo::exists(file)) {
                continue;
            }
            answer.results.append(
                {file, row[2].toString(), row[3].toString(), row[4].toString(),
                 row[5].isValid() ? std::optional(row[5].toLongLong()) : std::nullopt});
        }
        return answer;
    }).then(this, [this, generation](const IndexAnswer& answer) {
        indexAnswered(answer, generation);
    });
}

void SearchSession::indexAnswered(const IndexAnswer& answer, quint64 generation) {
    if (generation != m_generation) {
        return;
    }
    // A large answer is shown as read; following the index would re-read it all each time.
    m_followsIndex = answer.error.isEmpty() && answer.total <= kMaxResults;
    install(answer.results);
    if (answer.results.isEmpty() && !m_query.manualQueryStrings().isEmpty()) {
        runManualSearch();
        return;
    }
    setSearching(false);
}

void SearchSession::runManualSearch() {
    const QStringList strings = m_query.manualQueryStrings();
    const QStringList scopes = currentSearchDirectories();
    const quint64 generation = m_generation;
    m_cancelWalk = std::make_shared<std::atomic<bool>>(false);
    QtConcurrent::run([strings, scopes, cancelled = m_cancelWalk] {
        const QStringList paths = ManualSearch::searchOnThread(
            scopes,
            [&strings](const QString& name, const QStringList& tags) {
                return SearchQuery::searchMatches(strings, name, tags);
            },
            cancelled.get());
        QList<SearchResult> results;
        for (const QString& path : paths) {
            results.append(resultForPath(path));
        }
        return results;
    }).then(this, [this, generation](const QList<SearchResult>& results) {
        if (generation != m_generation) {
            return;
        }
        m_cancelWalk.reset();
        install(results);
        setSearching(false);
    });
}

void SearchSession::browse() {
    QList<SearchResult> results;
    if (m_pathConstraint.isEmpty()) {
        for (const QString& root : currentSearchDirectories()) {
            if (QFileInfo(root).isDir()) {
                results.append(resultForPath(root));
            }
        }
        install(results);
        return;
    }
    QStringList names = QDir(m_pathConstraint).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(), SearchScopes::browseOrderLess);
    for (const QString& name : std::as_const(names)) {
        results.append(resultForPath(QDir(m_pathConstraint).filePath(name)));
    }
    install(results);
}

void SearchSession::install(QList<SearchResult> results) {
    if (results == m_results) {
        return;
    }
    m_results = std::move(results);
    Q_EMIT resultsChanged();
}

void SearchSession::setSearching(bool searching) {
    if (m_nowSearching == searching) {
        return;
    }
    m_nowSearching = searching;
    Q_EMIT searchingChanged(searching);
}

QString SearchSession::countLabel() const {
    return countLabel(m_results.size(), m_nowSearching);
}

QString SearchSession::countLabel(qsizetype count, bool searching) {
    if (count >= kIncompleteCount) {
        return QStringLiteral("> 10000 (incomplete)");
    }
    return searching ? QStringLiteral("%1 files (working)").arg(count)
                     : QStringLiteral("%1 files (done)").arg(count);
}

void SearchSession::addHistory() {
    const Snapshot snapshot{m_query, m_pathConstraint};
    if (!m_history.isEmpty() && m_history.last() == snapshot) {
        return;
    }
    const bool could = canGoBack();
    m_history.append(snapshot);
    if (could != canGoBack()) {
        Q_EMIT canGoBackChanged(canGoBack());
    }
}

void SearchSession::popHistory() {
    if (m_history.size() < 2) {
        return;
    }
    m_history.removeLast();
    const Snapshot& previous = m_history.last();
    m_query = previous.query;
    m_pathConstraint = previous.pathConstraint;
    if (!canGoBack()) {
        Q_EMIT canGoBackChanged(false);
    }
    restartSearchSoon();
}

void SearchSession::homeClicked() {
    m_query = SearchQuery();
    m_pathConstraint.clear();
    restartSearchSoon();
}

void SearchSession::indexChanged() {
    if (!m_followsIndex || m_query.isEmpty() || m_nowSearching) {
        return;
    }
    ++m_generation;
    runIndexQuery();
}

} // namespace tessaly
