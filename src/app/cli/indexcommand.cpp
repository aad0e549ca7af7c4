#include "app/cli/indexcommand.h"

#include "app/cli/signalwatcher.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"
#include "search/archivecrawler.h"
#include "search/archiveindex.h"
#include "search/searchscopes.h"

#include <QElapsedTimer>
#include <QEventLoop>

#include <csignal>
#include <unistd.h>

namespace tessaly {

namespace {

constexpr auto kUsage = "usage: tessaly-cli index [--rebuild] [ROOT...]\n";
// A log or a pipe takes a progress line this often at most.
constexpr qint64 kPlainProgressMs = 2000;

// The general destination and every source's archive folder.
QStringList storedRoots(const PreferenceStore& store) {
    QStringList roots;
    const QString general = URLBookmarkInPrefs::lookup(store, prefkeys::destBookmarkURL).path;
    if (!general.isEmpty()) {
        roots.append(general);
    }
    roots += SearchScopes::topPathsJustPaths(store);
    return ArchiveCrawler::mergeRoots(roots);
}

QString countsText(const QString& verb, const ArchiveCrawler::Counts& counts) {
    return QStringLiteral("%1 %2 files: added %3, updated %4, removed %5")
        .arg(verb)
        .arg(counts.seen)
        .arg(counts.added)
        .arg(counts.updated)
        .arg(counts.removed);
}

} // namespace

int runIndexCommand(const QStringList& arguments, const PreferenceStore& store, QTextStream& out,
                    QTextStream& err) {
    bool rebuild = false;
    QStringList roots;
    for (const QString& argument : arguments) {
        if (argument == u"--rebuild") {
            rebuild = true;
        } else if (argument.startsWith(u'-') && argument != u"-") {
            err << "tessaly-cli index: unknown option " << argument << '\n' << kUsage;
            return 1;
        } else {
            roots.append(argument);
        }
    }
    roots = roots.isEmpty() ? storedRoots(store) : ArchiveCrawler::mergeRoots(roots);
    if (roots.isEmpty()) {
        err << "tessaly-cli index: no archive roots: choose a destination folder first, or name "
               "the folders to index\n";
        return 1;
    }
    // The index is opened here first, so an index that cannot be made is an error of its own.
    QString error;
    const QString indexPath = ArchiveIndex::defaultPath();
    if (!ArchiveIndex::open(indexPath, &error)) {
        err << "tessaly-cli index: cannot open the index " << indexPath << ": " << error << '\n';
        return 1;
    }

    SignalWatcher watcher({SIGINT, SIGTERM, SIGHUP});
    ArchiveCrawler crawler(indexPath);
    QEventLoop loop;
    ArchiveCrawler::Summary summary;
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    QElapsedTimer sinceLine;
    sinceLine.start();
    QObject::connect(&crawler, &ArchiveCrawler::progress, &loop,
                     [&](const ArchiveCrawler::Counts& counts) {
                         if (terminal) {
                             err << "\r\033[K" << countsText(QStringLiteral("indexing"), counts);
                         } else if (sinceLine.elapsed() >= kPlainProgressMs) {
                             err << countsText(QStringLiteral("indexing"), counts) << '\n';
                             sinceLine.restart();
                         }
                         err.flush();
                     });
    QObject::connect(&crawler, &ArchiveCrawler::finished, &loop,
                     [&](const ArchiveCrawler::Summary& done) {
                         summary = done;
                         loop.quit();
                     });
    QObject::connect(&watcher, &SignalWatcher::caught, &loop, [&](int signalNumber) {
        err << (terminal ? "\r\033[K" : "")
            << "tessaly-cli index: " << SignalWatcher::nameOf(signalNumber)
            << " received, stopping (what was indexed stays)\n";
        err.flush();
        crawler.cancel();
    });
    if (!crawler.start(roots, rebuild)) {
        err << "tessaly-cli index: the crawl did not start\n";
        return 1;
    }
    loop.exec();
    if (terminal) {
        err << "\r\033[K";
    }
    for (const QString& root : summary.unreachableRoots) {
        err << "tessaly-cli index: " << root
            << " is not reachable (not mounted?); its files stay in the index\n";
    }
    if (!summary.error.isEmpty()) {
        err << "tessaly-cli index: " << summary.error << '\n';
    }
    err.flush();
    out << countsText(QStringLiteral("indexed"), summary.counts) << '\n';
    out.flush();
    if (const int caught = watcher.caughtSignal()) {
        return SignalWatcher::exitStatusFor(caught);
    }
    if (!summary.error.isEmpty()) {
        return 1;
    }
    return summary.cancelled || !summary.unreachableRoots.isEmpty() ? 2 : 0;
}

} // namespace tessaly
