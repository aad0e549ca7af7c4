// Measures the archive index at the size of a large archive: N generated archive files (PDFs
// with subjects, addresses and a little text, plus attachments), then the median and 95th
// percentile time of subject, address and everything queries as the search runs them, beside
// the same searches as a plain scan of the files table with LIKE (what searching without the
// full-text tables would cost), the build rate, and the time to add one new file.
//
//   bench_search [--files N] [--queries Q] [--index PATH]

#include "percentiles.h"
#include "search/archiveindex.h"
#include "search/querysql.h"
#include "search/searchquery.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tessaly;

namespace {

const char* const kWords[] = {"invoice",  "meeting",  "report",  "holiday",  "München", "budget",
                              "contract", "review",   "project", "schedule", "payment", "travel",
                              "Zürich",   "release",  "party",   "question", "answer",  "offer",
                              "order",    "delivery", "agenda",  "minutes",  "draft",   "final"};
const char* const kNames[] = {"smith", "doe",      "müller", "garcia", "chen",   "novak",
                              "rossi", "kowalski", "tanaka", "silva",  "dubois", "olsen"};

// Mail has a few very common words and many rare ones: a vocabulary of the named words and
// kVocabulary made-up ones, drawn with a skew towards the start of the list.
constexpr int kVocabulary = 20000;

QString vocabularyWord(int n) {
    if (n < int(std::size(kWords))) {
        return QString::fromUtf8(kWords[n]);
    }
    // Pronounceable, distinct and free of digits, so words tokenize as one word each.
    static const char* const syllables[] = {"ka", "lo", "mi", "ne", "ru", "ta", "vi", "so",
                                            "de", "pa", "gu", "ze", "fo", "hi", "ba", "ti"};
    QString text;
    for (int m = n; m > 0; m /= 16) {
        text += QString::fromLatin1(syllables[m % 16]);
    }
    return text;
}

QString word(QRandomGenerator& random) {
    const double r = random.generateDouble();
    return vocabularyWord(static_cast<int>(kVocabulary * r * r * r));
}

// What a user looks for: any word of the vocabulary, common or rare.
QString searchedWord(QRandomGenerator& random) {
    return vocabularyWord(random.bounded(kVocabulary));
}

QString address(QRandomGenerator& random, int n) {
    return QStringLiteral("%1.%2@example%3.test")
        .arg(QString::fromUtf8(kNames[random.bounded(int(std::size(kNames)))]))
        .arg(n % 500)
        .arg(n % 37);
}

IndexedFile makeFile(QRandomGenerator& random, int n, const QString& root) {
    IndexedFile file;
    const QString subject =
        QStringLiteral("%1 %2 %3 no%4").arg(word(random), word(random), word(random)).arg(n);
    const int year = 2000 + n % 25;
    const int month = 1 + n % 12;
    const bool attachment = n % 5 == 4;
    file.root = root;
    file.kind = attachment ? QStringLiteral("attachment") : QStringLiteral("pdf");
    file.displayName = attachment ? QStringLiteral("scan %1.jpg").arg(n)
                                  : QStringLiteral("%1-%2-01 10.00.00Z  %3.pdf")
                                        .arg(year)
                                        .arg(month, 2, 10, QLatin1Char('0'))
                                        .arg(subject);
    file.path = QStringLiteral("%1/%2/%3/%4").arg(root).arg(year).arg(month).arg(file.displayName);
    if (!attachment) {
        file.title = subject;
        file.authors = address(random, n);
        file.keywords = address(random, n) + QStringLiteral(", ") + address(random, n + 7);
        QString text;
        for (int w = 0; w < 60; ++w) {
            text += word(random) + u' ';
        }
        file.textContent = text;
    }
    file.contentDate = qint64(946684800) + qint64(n) * 7919;
    file.mtimeNs = file.contentDate.value() * 1000000000;
    file.size = 20000 + n % 1000;
    return file;
}

using Figures = bench::Percentiles;
using bench::percentiles;

// The time of each query, run to its last row.
Figures timeQueries(ArchiveIndex& index, const std::vector<SqlQuery>& queries, int* rowsSeen) {
    std::vector<double> ms;
    for (const SqlQuery& query : queries) {
        std::vector<SqliteDatabase::Row> rows;
        QElapsedTimer clock;
        clock.start();
        if (!index.query(query.sql, query.parameters, &rows)) {
            std::fprintf(stderr, "query failed: %s\n", qPrintable(index.lastError()));
            return {};
        }
        ms.push_back(clock.nsecsElapsed() / 1e6);
        *rowsSeen += static_cast<int>(rows.size());
    }
    return percentiles(ms);
}

// The same search as a scan: every row's folded columns and text tested with LIKE.
SqlQuery scanFor(const QString& column, const QString& term, const QString& root) {
    return {QStringLiteral("SELECT files.id, path FROM files JOIN words ON words.rowid = files.id "
                           "WHERE (path = ? OR (path >= ? AND path < ?)) AND %1 LIKE ? "
                           "ORDER BY content_date DESC LIMIT 2000")
                .arg(column),
            {root, root + u'/', root + u'0', QStringLiteral("%") + term + u'%'}};
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    int files = 100000;
    int queries = 200;
    QString indexPath;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QStringLiteral("--files")) {
            files = args[i + 1].toInt();
        } else if (args[i] == QStringLiteral("--queries")) {
            queries = args[i + 1].toInt();
        } else if (args[i] == QStringLiteral("--index")) {
            indexPath = args[i + 1];
        }
    }
    QTemporaryDir dir;
    if (indexPath.isEmpty()) {
        indexPath = dir.filePath(QStringLiteral("index.sqlite"));
    }
    QString error;
    std::unique_ptr<ArchiveIndex> index = ArchiveIndex::open(indexPath, &error);
    if (!index) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QString root = QStringLiteral("/archive/dan@example.test");
    QRandomGenerator random(20261207);
    QElapsedTimer clock;
    clock.start();
    constexpr int kBatch = 500;
    for (int start = 0; start < files; start += kBatch) {
        std::vector<IndexedFile> batch;
        for (int n = start; n < std::min(files, start + kBatch); ++n) {
            batch.push_back(makeFile(random, n, root));
        }
        if (!index->upsert(batch)) {
            std::fprintf(stderr, "upsert failed: %s\n", qPrintable(index->lastError()));
            return 1;
        }
    }
    const double buildSeconds = clock.nsecsElapsed() / 1e9;

    std::vector<SqlQuery> subject, address, everything, subjectScan, addressScan, everythingScan;
    QRandomGenerator pick(7);
    for (int q = 0; q < queries; ++q) {
        const QString term = searchedWord(pick);
        const QString name = QString::fromUtf8(kNames[pick.bounded(int(std::size(kNames)))]);
        const QString person = QStringLiteral("%1.%2").arg(name).arg(pick.bounded(500));
        subject.push_back(QuerySql::select(SearchQuery(term, {}, {}), {root}, 2000));
        address.push_back(QuerySql::select(SearchQuery({}, person, {}), {root}, 2000));
        everything.push_back(QuerySql::select(SearchQuery({}, {}, term), {root}, 2000));
        subjectScan.push_back(scanFor(QStringLiteral("folded_name"), term.toLower(), root));
        addressScan.push_back(scanFor(QStringLiteral("folded_keywords"), person, root));
        everythingScan.push_back(scanFor(QStringLiteral("text_content"), term, root));
    }
    int rows = 0;
    const Figures s = timeQueries(*index, subject, &rows);
    const Figures a = timeQueries(*index, address, &rows);
    const Figures e = timeQueries(*index, everything, &rows);
    int scanRows = 0;
    const Figures ss = timeQueries(*index, subjectScan, &scanRows);
    const Figures as = timeQueries(*index, addressScan, &scanRows);
    const Figures es = timeQueries(*index, everythingScan, &scanRows);

    std::vector<double> adds;
    for (int n = 0; n < 20; ++n) {
        QElapsedTimer one;
        one.start();
        if (!index->upsert({makeFile(random, files + n, root)})) {
            return 1;
        }
        adds.push_back(one.nsecsElapsed() / 1e6);
    }
    const Figures add = percentiles(adds);

    std::printf("index of %d files: built in %.1f s (%.0f files/s)\n", files, buildSeconds,
                files / buildSeconds);
    std::printf(
        "%d queries each, limit 2000 rows   median ms   95th ms   | LIKE scan median  95th\n",
        queries);
    std::printf("  subject     %10.2f %9.2f   | %10.2f %9.2f\n", s.median, s.p95, ss.median,
                ss.p95);
    std::printf("  address     %10.2f %9.2f   | %10.2f %9.2f\n", a.median, a.p95, as.median,
                as.p95);
    std::printf("  everything  %10.2f %9.2f   | %10.2f %9.2f\n", e.median, e.p95, es.median,
                es.p95);
    std::printf("rows returned: %d (scan %d)\n", rows, scanRows);
    std::printf("one new file: median %.2f ms, 95th %.2f ms\n", add.median, add.p95);
    return 0;
}
