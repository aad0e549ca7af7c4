#include "app/cli/archivecommand.h"

#include "app/cli/jobrun.h"
#include "app/cli/signalwatcher.h"
#include "app/jobhost.h"
#include "archive/archivecontroller.h"
#include "archive/job/jobsummary.h"
#include "platform/bus/notificationcenter.h"
#include "platform/files/runtimefolder.h"
#include "platform/prefs/preferencestore.h"
#include "renderbox/remoterender.h"
#include "search/archiveindex.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <utility>

namespace tessaly {

namespace {

struct Arguments {
    QString dest;
    QString optionsPath;
    bool json = false;
    QStringList paths;
};

bool parse(const QStringList& arguments, Arguments& parsed, QString& error) {
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        auto value = [&](const QString& flag, QString& into) {
            if (a == flag) {
                if (i + 1 >= arguments.size()) {
                    error = flag + QStringLiteral(" needs a value");
                    return true;
                }
                into = arguments[++i];
                return true;
            }
            if (a.startsWith(flag + u'=')) {
                into = a.mid(flag.size() + 1);
                return true;
            }
            return false;
        };
        if (value(QStringLiteral("--dest"), parsed.dest) ||
            value(QStringLiteral("--options"), parsed.optionsPath)) {
            if (!error.isEmpty()) {
                return false;
            }
            continue;
        }
        if (a == u"--json") {
            parsed.json = true;
        } else if (a == u"--") {
            parsed.paths.append(arguments.mid(i + 1));
            break;
        } else if (a.startsWith(u"--")) {
            error = QStringLiteral("unknown option ") + a;
            return false;
        } else {
            parsed.paths.append(QDir(a).absolutePath());
        }
    }
    if (parsed.paths.isEmpty()) {
        error = QStringLiteral(
            "usage: tessaly-cli archive [--dest DIR] [--options FILE] [--json] PATH...");
        return false;
    }
    if (!parsed.dest.isEmpty()) {
        parsed.dest = QDir(parsed.dest).absolutePath();
    }
    return true;
}

// Runs the job through its own boxes and prints its summary; the boxes have ended when it
// returns. Returns the exit status the job's outcome calls for.
int runJob(const Arguments& args, const QJsonObject& overrides, PreferenceStore& store,
           const QString& runtime, const QString& boxProgram, SignalWatcher& watcher,
           QTextStream& out, QTextStream& err) {
    const QString general =
        store.destinationFolder().isEmpty() ? args.dest : store.destinationFolder();
    JobHost host(
        store,
        {NotificationCenter::distributed(), runtime, boxProgram, ArchiveIndex::defaultPath()},
        [general] { return general; });
    ArchiveController& controller = host.controller();
    JobRun run(QStringLiteral("archive"), host, watcher, err);
    QString why;
    RenderTool* job = controller.startEMLJob(
        args.paths, args.dest, QString(),
        [&](JobOptions& o) {
            JobOptions given = JobOptions::fromJson(overrides);
            if (overrides.contains(QStringLiteral("pdf_format")))
                o.pdfFormat = given.pdfFormat;
            if (overrides.contains(QStringLiteral("attachment_format")))
                o.attachmentFormat = given.attachmentFormat;
            if (overrides.contains(QStringLiteral("eml_format")))
                o.emlFormat = given.emlFormat;
            if (given.windowsFilenames)
                o.windowsFilenames = given.windowsFilenames;
            if (given.tinyHeaders)
                o.tinyHeaders = given.tinyHeaders;
            if (given.loadRemoteImages)
                o.loadRemoteImages = given.loadRemoteImages;
        },
        &why);
    if (!job) {
        err << "tessaly-cli archive: " << why << '\n';
        return 1;
    }

    const QString jobName = job->jobName();
    JobSummary summary{jobName, {}, QString(), QString()};
    QString fatalError;
    double fractionDone = 0.0;
    bool finished = false;
    QEventLoop loop;
    QObject::connect(&controller, &ArchiveController::jobFinished, &loop, [&](RenderTool* done) {
        if (done != job || std::exchange(finished, true)) {
            return;
        }
        summary = JobSummary{jobName, done->figures(), done->operationDescription(),
                             done->errorReportPath()};
        fatalError = done->fatalError();
        fractionDone = done->fractionDone();
        loop.quit();
    });

    // The first SIGINT, SIGTERM or SIGHUP cancels the job: no message is handed out any more,
    // the boxes are told to quit (a render cut short is left for the next run: the box writes
    // to a temporary name first), the job writes its error report, and the summary is printed
    // as usual, with the status "Cancelled". A second signal ends the process in the handler.
    bool cancelledBySignal = false;
    run.cancelOnSignal(
        QStringLiteral("job"),
        [&] {
            cancelledBySignal = true;
            host.cancel({jobName});
            if (!std::exchange(finished, true)) {
                // The job was gone without a word: the summary shows what was last known.
                loop.quit();
            }
        },
        // The job ended on its own: its summary stands.
        [&] { return !finished; });

    QString lastLine;
    run.startProgress([&] {
        if (!controller.renderJobs().contains(job)) {
            return;
        }
        const QString status = job->statusText(controller.numDoneThisSession(jobName));
        if (run.terminal()) {
            err << "\r\033[K" << progressBar(job->fractionDone()) << ' '
                << static_cast<int>(job->fractionDone() * 100) << "% " << status;
            err.flush();
        } else if (status != lastLine) {
            err << status << '\n';
            err.flush();
        }
        lastLine = status;
    });
    if (!finished) {
        loop.exec();
    }
    run.stopProgress();
    run.flushIndex();
    if (cancelledBySignal) {
        summary.status = QStringLiteral("Cancelled");
    }
    if (run.terminal()) {
        err << "\r\033[K" << progressBar(fractionDone) << ' '
            << static_cast<int>(fractionDone * 100) << "% " << summary.status << '\n';
        err.flush();
    }
    if (!fatalError.isEmpty()) {
        err << "tessaly-cli archive: " << fatalError << '\n';
        err.flush();
        return 1;
    }

    summary.print(out, args.json, false);
    return summary.archivedAll() ? 0 : 2;
}

} // namespace

int runArchiveCommand(const QStringList& arguments, PreferenceStore& store, QTextStream& out,
                      QTextStream& err) {
    Arguments args;
    QString error;
    if (!parse(arguments, args, error)) {
        err << "tessaly-cli archive: " << error << '\n';
        return 1;
    }
    QJsonObject overrides;
    if (!args.optionsPath.isEmpty()) {
        QFile file(args.optionsPath);
        QJsonParseError parseError;
        const QJsonDocument document = file.open(QIODevice::ReadOnly)
                                           ? QJsonDocument::fromJson(file.readAll(), &parseError)
                                           : QJsonDocument();
        if (!document.isObject()) {
            err << "tessaly-cli archive: options file " << args.optionsPath
                << " is not a readable JSON object\n";
            return 1;
        }
        overrides = document.object();
    }
    if (args.dest.isEmpty() && store.destinationFolder().isEmpty()) {
        err << "tessaly-cli archive: no destination folder: pass --dest DIR, or choose a "
               "destination in Tessaly's settings\n";
        return 1;
    }
    const QString runtime = privateRuntimeFolder(&error);
    if (runtime.isEmpty()) {
        err << "tessaly-cli archive: " << error << '\n';
        return 1;
    }
    const QString boxProgram = RemoteRender::defaultBoxProgram();
    if (boxProgram.isEmpty()) {
        err << "tessaly-cli archive: the tessaly executable (which renders in render boxes) was "
               "not found; set TESSALY_RENDERBOX_PROGRAM\n";
        return 1;
    }

    // Made before the boxes and gone after them: a signal while they end is still caught,
    // and a second one still ends the process at once.
    SignalWatcher watcher({SIGINT, SIGTERM, SIGHUP});
    if (!watcher.isActive()) {
        err << "tessaly-cli archive: " << watcher.errorString()
            << "; an interrupt ends the job abruptly\n";
        err.flush();
    }
    const int status = runJob(args, overrides, store, runtime, boxProgram, watcher, out, err);
    // The boxes have ended. A caught signal decides the exit status, whenever it came.
    const int caught = watcher.caughtSignal();
    return caught != 0 ? SignalWatcher::exitStatusFor(caught) : status;
}

} // namespace tessaly
