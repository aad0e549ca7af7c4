#include "app/cli/searchcommand.h"

#include "search/archiveindex.h"
#include "search/archiveindexer.h"
#include "search/manualsearch.h"
#include "search/querysql.h"
#include "search/searchquery.h"
#include "search/searchscopes.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace tessaly {

namespace {

const char* const kUsage = "usage: tessaly-cli search [--subject TEXT] [--address TEXT] "
                           "[--everywhere TEXT] [--in FOLDER] [--json] [--print-query]\n";

struct Arguments {
    QString subject;
    QString address;
    QString everywhere;
    QString in;
    bool json = false;
    bool printQuery = false;
};

bool parse(const QStringList& arguments, Arguments& args, QString& error) {
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        QString* value = nullptr;
        if (argument == u"--subject") {
            value = &args.subject;
        } else if (argument == u"--address") {
            value = &args.address;
        } else if (argument == u"--everywhere") {
            value = &args.everywhere;
        } else if (argument == u"--in") {
            value = &args.in;
        } else if (argument == u"--json") {
            args.json = true;
            continue;
        } else if (argument == u"--print-query") {
            args.printQuery = true;
            continue;
        } else {
            error = QStringLiteral("unknown argument %1").arg(argument);
            return false;
        }
        if (i + 1 >= arguments.size()) {
            error = QStringLiteral("%1 needs a value").arg(argument);
            return false;
        }
        *value = arguments[++i];
    }
    return true;
}

void printFound(QTextStream& out, bool json, const QString& path, const QString& kind,
                const QString& title, const QString& authors, const QVariant& date) {
    if (!json) {
        out << path << '\n';
        return;
    }
    QJsonObject object{{QStringLiteral("path"), path},
                       {QStringLiteral("kind"), kind},
                       {QStringLiteral("title"), title},
                       {QStringLiteral("authors"), authors}};
    object.insert(
        QStringLiteral("date"),
        date.isValid()
            ? QJsonValue(
                  QDateTime::fromSecsSinceEpoch(date.toLongLong(), Qt::UTC).toString(Qt::ISODate))
            : QJsonValue());
    out << QJsonDocument(object).toJson(QJsonDocument::Compact) << '\n';
}

} // namespace

int runSearchCommand(const QStringList& arguments, const PreferenceStore& store, QTextStream& out,
                     QTextStream& err) {
    Arguments args;
    QString error;
    if (!parse(arguments, args, error)) {
        err << "tessaly-cli search: " << error << '\n' << kUsage;
        return 1;
    }
    const SearchQuery query(args.subject, args.address, args.everywhere);
    if (args.printQuery) {
        out << query.currentQueryString() << '\n';
        for (const QString& manual : query.manualQueryStrings()) {
            out << manual << '\n';
        }
        return 0;
    }
    if (query.isEmpty()) {
        err << "tessaly-cli search: nothing to search for: give --subject, --address or "
               "--everywhere\n"
            << kUsage;
        return 1;
    }
    QStringList scopes;
    if (!args.in.isEmpty()) {
        scopes.append(QDir::cleanPath(QFileInfo(args.in).absoluteFilePath()));
    } else {
        scopes = SearchScopes::coalescePaths(SearchScopes::topPathsJustPaths(store));
    }
    if (scopes.isEmpty()) {
        err << "tessaly-cli search: there is no archive yet: choose a destination and add a "
               "source, or pass --in FOLDER\n";
        return 1;
    }

    int found = 0;
    const std::unique_ptr<ArchiveIndex> index =
        ArchiveIndex::open(ArchiveIndex::defaultPath(), &error);
    if (!index) {
        err << "tessaly-cli search: the index cannot be used (" << error
            << "); searching the folders by name and tags\n";
    } else {
        const SqlQuery sql = QuerySql::select(query, scopes);
        std::vector<SqliteDatabase::Row> rows;
        if (!index->query(sql.sql, sql.parameters, &rows)) {
            err << "tessaly-cli search: the index failed: " << index->lastError() << '\n';
            return 1;
        }
        for (const SqliteDatabase::Row& row : rows) {
            const QString path = row[1].toString();
            // The index may still list a file removed since it was last brought up to date.
            if (!QFileInfo::exists(path)) {
                continue;
            }
            printFound(out, args.json, path, row[2].toString(), row[3].toString(),
                       row[4].toString(), row[5]);
            ++found;
        }
    }
    const QStringList manual = query.manualQueryStrings();
    if (found == 0 && !manual.isEmpty()) {
        const QStringList paths = ManualSearch::searchOnThread(
            scopes, [&manual](const QString& name, const QStringList& tags) {
                return SearchQuery::searchMatches(manual, name, tags);
            });
        for (const QString& path : paths) {
            printFound(out, args.json, path, ArchiveIndexer::kindOf(path), {}, {}, {});
        }
        found = static_cast<int>(paths.size());
    }
    return found > 0 ? 0 : 2;
}

} // namespace tessaly
