#include "app/cli/runcommand.h"

#include "app/cli/jobrun.h"
#include "app/cli/signalwatcher.h"
#include "app/jobhost.h"
#include "archive/archivecontroller.h"
#include "archive/job/jobsummary.h"
#include "archive/sources/imapmessagesource.h"
#include "platform/bus/notificationcenter.h"
#include "platform/files/runtimefolder.h"
#include "platform/prefs/preferencestore.h"
#include "renderbox/remoterender.h"
#include "search/archiveindex.h"
#include "settings/emailsettings.h"
#include "settings/fxkeychain.h"

#include <QDir>
#include <QEventLoop>
#include <QHash>

#include <csignal>

namespace tessaly {

namespace {

struct Arguments {
    QString dest;
    bool json = false;
    QStringList sources;
};

bool parse(const QStringList& arguments, Arguments& parsed, QString& error) {
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == u"--dest") {
            if (i + 1 >= arguments.size()) {
                error = QStringLiteral("--dest needs a value");
                return false;
            }
            parsed.dest = QDir(arguments[++i]).absolutePath();
        } else if (a.startsWith(QStringLiteral("--dest="))) {
            parsed.dest = QDir(a.mid(7)).absolutePath();
        } else if (a == u"--json") {
            parsed.json = true;
        } else if (a == u"--") {
            parsed.sources.append(arguments.mid(i + 1));
            break;
        } else if (a.startsWith(u"--")) {
            error = QStringLiteral("unknown option ") + a;
            return false;
        } else {
            parsed.sources.append(a);
        }
    }
    return true;
}

// Runs the sources' jobs to their end through one set of boxes; returns the exit status.
int runSources(const Arguments& args, const QStringList& sources, PreferenceStore& store,
               EmailSettings& accounts, const QString& runtime, const QString& boxProgram,
               SignalWatcher& watcher, QTextStream& out, QTextStream& err) {
    const QString general =
        store.destinationFolder().isEmpty() ? args.dest : store.destinationFolder();
    JobHost host(
        store,
        {NotificationCenter::distributed(), runtime, boxProgram, ArchiveIndex::defaultPath()},
        [general] { return general; });
    ArchiveController& controller = host.controller();
    controller.setAccounts(&accounts);
    JobRun run(QStringLiteral("run"), host, watcher, err);

    QSet<QString> pending(sources.begin(), sources.end());
    bool somethingMissed = false;
    QEventLoop loop;
    auto settled = [&](const QString& source) {
        pending.remove(source);
        if (pending.isEmpty()) {
            loop.quit();
        }
    };
    QObject::connect(&controller, &ArchiveController::sourceNotStarted, &loop,
                     [&](const QString& source, const QString& reason) {
                         run.clearLine();
                         err << "tessaly-cli run: " << ImapMessageSource::displayName(source)
                             << " not started: " << reason << '\n';
                         err.flush();
                         somethingMissed = true;
                         settled(source);
                     });
    QObject::connect(&controller, &ArchiveController::errorFolderNames, &loop,
                     [&](const QString& account, const QString& error) {
                         run.clearLine();
                         err << "ErrorFolderNames: " << account
                             << ": folder names could not be loaded for making PDFs: "
                             << ImapMessageSource::displayName(error) << '\n';
                         err.flush();
                     });
    QObject::connect(&controller, &ArchiveController::jobFinished, &loop, [&](RenderTool* job) {
        if (!pending.contains(job->jobName())) {
            return;
        }
        run.clearLine();
        const JobSummary summary = JobSummary::of(*job);
        summary.print(out, args.json, true);
        somethingMissed = somethingMissed || !summary.archivedAll();
        settled(job->jobName());
    });

    bool cancelled = false;
    run.cancelOnSignal(QStringLiteral("jobs"), [&] {
        cancelled = true;
        // Accounts still waiting for their password command too.
        host.cancel(QStringList(pending.cbegin(), pending.cend()));
        loop.quit();
    });

    QHash<QString, QString> lastLines;
    run.startProgress([&] {
        QStringList running;
        for (RenderTool* job : controller.renderJobs()) {
            if (job->waiting()) {
                continue;
            }
            const QString status = job->statusText(controller.numDoneThisSession(job->jobName()));
            const QString name = ImapMessageSource::displayName(job->jobName());
            if (run.terminal()) {
                running.append(QStringLiteral("%1 %2% %3")
                                   .arg(name)
                                   .arg(static_cast<int>(job->fractionDone() * 100))
                                   .arg(status));
            } else if (lastLines.value(job->jobName()) != status) {
                err << name << ": " << status << '\n';
                lastLines.insert(job->jobName(), status);
            }
        }
        if (run.terminal() && !running.isEmpty()) {
            err << "\r\033[K" << running.join(QStringLiteral(" | ")).left(200);
        }
        err.flush();
    });
    for (const QString& source : sources) {
        controller.startArchiving(source);
    }
    if (!pending.isEmpty()) {
        loop.exec();
    }
    run.stopProgress();
    run.flushIndex();
    run.clearLine();
    err.flush();
    if (cancelled) {
        return 2;
    }
    return somethingMissed ? 2 : 0;
}

} // namespace

int runRunCommand(const QStringList& arguments, PreferenceStore& store, QTextStream& out,
                  QTextStream& err) {
    Arguments args;
    QString error;
    if (!parse(arguments, args, error)) {
        err << "tessaly-cli run: " << error << '\n'
            << "usage: tessaly-cli run [--dest DIR] [--json] [SOURCE...]\n";
        return 1;
    }
    FXKeychain& keychain = FXKeychain::defaultKeychain();
    EmailSettings accounts(store, keychain);
    const QStringList stored = ArchiveController::emailANDFolderAccounts(store);
    QStringList sources = args.sources.isEmpty() ? stored : args.sources;
    for (const QString& source : std::as_const(sources)) {
        if (!stored.contains(source)) {
            err << "tessaly-cli run: " << ImapMessageSource::displayName(source)
                << " is neither a stored account nor a folder source (see tessaly-cli account "
                   "list)\n";
            return 1;
        }
    }
    sources.removeDuplicates();
    if (sources.isEmpty()) {
        err << "tessaly-cli run: no accounts or folder sources are stored: add one with "
               "tessaly-cli account add\n";
        return 1;
    }
    if (args.dest.isEmpty() && store.destinationFolder().isEmpty()) {
        err << "tessaly-cli run: no destination folder: pass --dest DIR, or choose a destination "
               "in Tessaly's settings\n";
        return 1;
    }
    const QString runtime = privateRuntimeFolder(&error);
    if (runtime.isEmpty()) {
        err << "tessaly-cli run: " << error << '\n';
        return 1;
    }
    const QString boxProgram = RemoteRender::defaultBoxProgram();
    if (boxProgram.isEmpty()) {
        err << "tessaly-cli run: the tessaly executable (which renders in render boxes) was not "
               "found; set TESSALY_RENDERBOX_PROGRAM\n";
        return 1;
    }
    SignalWatcher watcher({SIGINT, SIGTERM, SIGHUP});
    if (!watcher.isActive()) {
        err << "tessaly-cli run: " << watcher.errorString()
            << "; an interrupt ends the jobs abruptly\n";
        err.flush();
    }
    const int status =
        runSources(args, sources, store, accounts, runtime, boxProgram, watcher, out, err);
    const int caught = watcher.caughtSignal();
    return caught != 0 ? SignalWatcher::exitStatusFor(caught) : status;
}

} // namespace tessaly
