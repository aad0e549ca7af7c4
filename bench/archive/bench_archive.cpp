// Measures an EML job through render boxes, as `tessaly-cli archive` runs one, beside two bare
// QtWebEngine processes (bench_bare_engine) printing the same messages laid out by our own HTML
// layout, and prints the figures side by side: wall time, messages per second and the peak PSS
// of the whole process tree. Then: messages per second on one core and on two (the bench runs
// itself again under taskset), the peak PSS of many jobs at once, the time of a run over a large
// archive where every message is already archived, and the longest stall of this process's own
// event loop while a job's boxes start. Nothing is asserted; every figure is measured here.
//
//   dbus-run-session -- bench_archive [--count N] [--small-count N] [--corpus FOLDER]
//                                     [--jobs K] [--rerun-count M] [--skip-bare]
//                                     [--pss-limit-mb MB] [--timeout S]
//
// See bench/README.md for what each option does and what each figure means.

#include "archive/archivecontroller.h"
#include "archive/ledger/archiveledger.h"
#include "archive/ledger/messageidentity.h"
#include "archive/sources/jobfolders.h"
#include "archive/sources/messageloader.h"
#include "platform/bus/notificationcenter.h"
#include "platform/files/filerecord.h"
#include "platform/files/runtimefolder.h"
#include "platform/mail/mcomessageparser.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/web/messagewebview.h"
#include "processtree.h"
#include "render/destinationpaths.h"
#include "render/mcohtmlrenderer.h"
#include "render/msgviewcontroller.h"
#include "render/soundfiles.h"
#include "renderbox/remoterender.h"
#include "renderbox/renderboxpool.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

using namespace tessaly;

namespace {

constexpr int kCoresExitNoResult = 3;
const QByteArray kCoresResultTag = "cores-result";
// Messages rendered for real before the large archive is prepared with copies of their PDFs.
constexpr int kRealRenders = 4;
// The job's own stall window: while its boxes start.
constexpr int kStallWindowMs = 10'000;
constexpr int kStallTickMs = 5;

struct Options {
    int count = 300;
    int smallCount = 60;
    QString corpus = QStringLiteral(TESSALY_SHARED_DIR) + QStringLiteral("/corpus/eml");
    int jobs = 10;
    int rerunCount = 25'000;
    bool skipBare = false;
    bool coresOnly = false;
    qint64 pssLimitMiB = 12'000;
    int timeoutSeconds = 3600;
};

// ---------------------------------------------------------------------------------------------
// Options

std::optional<Options> parseOptions(const QStringList& args) {
    Options options;
    const QList<std::pair<QString, int*>> numbers = {
        {QStringLiteral("--count"), &options.count},
        {QStringLiteral("--small-count"), &options.smallCount},
        {QStringLiteral("--jobs"), &options.jobs},
        {QStringLiteral("--rerun-count"), &options.rerunCount},
        {QStringLiteral("--timeout"), &options.timeoutSeconds},
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        auto number = std::find_if(numbers.begin(), numbers.end(),
                                   [&](const auto& entry) { return entry.first == arg; });
        bool ok = true;
        if (number != numbers.end() && hasValue) {
            *number->second = args[++i].toInt(&ok);
        } else if (arg == u"--pss-limit-mb" && hasValue) {
            options.pssLimitMiB = args[++i].toLongLong(&ok);
        } else if (arg == u"--corpus" && hasValue) {
            options.corpus = args[++i];
        } else if (arg == u"--skip-bare") {
            options.skipBare = true;
        } else if (arg == u"--cores-only") {
            options.coresOnly = true;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "bench_archive: bad option %s\n", qPrintable(arg));
            return std::nullopt;
        }
    }
    return options;
}

// ---------------------------------------------------------------------------------------------
// Messages

QStringList corpusMessages(const QString& corpus) {
    QStringList sources;
    QDirIterator it(corpus, {QStringLiteral("*.eml")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        sources.append(it.next());
    }
    sources.sort();
    return sources;
}

// Numbers the subject at its start, where a long subject cut short in a path keeps it, so that
// no two copies share a PDF path. Every Subject line of the header block is numbered (the parser
// takes the last of several; obsolete syntax allows blanks before the colon), none further down:
// an attached message has its own. A message with no Subject, or opening with something other
// than a header field (a blank-looking line, an mbox "From " line), which parsers may read as the
// end of an empty header, is also given a numbered Subject first.
QByteArray numberedMessage(QByteArray data, int number) {
    static const QRegularExpression subject(QStringLiteral("^Subject[ \\t]*:"),
                                            QRegularExpression::MultilineOption |
                                                QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression headerField(QStringLiteral("^[!-9;-~]+[ \\t]*:"));
    const QString text = QString::fromLatin1(data);
    const bool opensWithHeader = headerField.match(text).hasMatch();
    qsizetype headerEnd = text.indexOf(QStringLiteral("\n\n"));
    const qsizetype crlfEnd = text.indexOf(QStringLiteral("\r\n\r\n"));
    if (headerEnd < 0 || (crlfEnd >= 0 && crlfEnd < headerEnd)) {
        headerEnd = crlfEnd;
    }
    QList<qsizetype> subjects;
    for (auto it = subject.globalMatch(text); it.hasNext();) {
        const qsizetype end = it.next().capturedEnd();
        if (headerEnd >= 0 && end > headerEnd) {
            break;
        }
        subjects.prepend(end); // inserted from the last, so earlier positions stay right
    }
    const QByteArray tag = QStringLiteral(" #%1").arg(number).toLatin1();
    for (qsizetype at : subjects) {
        data.insert(at, tag);
    }
    if (subjects.isEmpty() || !opensWithHeader) {
        data.prepend("Subject: bench" + tag + "\r\n");
    }
    return data;
}

// Copies of corpus messages, each made distinct, spread over the named folders of `into` (message
// i goes to folder i mod their number), which are created; the paths written, by folder.
QList<QStringList> drawMessages(const QStringList& sources, int count, const QString& into,
                                const QStringList& folderNames) {
    QList<QStringList> written(folderNames.size());
    for (const QString& name : folderNames) {
        QDir().mkpath(into + u'/' + name);
    }
    for (int i = 0; i < count && !sources.isEmpty(); ++i) {
        QFile source(sources[i % sources.size()]);
        if (!source.open(QIODevice::ReadOnly)) {
            continue;
        }
        const qsizetype folder = i % folderNames.size();
        const QByteArray data = numberedMessage(source.readAll(), i);
        const QString path = QStringLiteral("%1/%2/m%3.eml")
                                 .arg(into, folderNames[folder])
                                 .arg(i, 5, 10, QLatin1Char('0'));
        QFile out(path);
        if (out.open(QIODevice::WriteOnly) && out.write(data) == data.size() && out.flush()) {
            written[folder].append(path);
        }
    }
    return written;
}

QStringList folderNames(const QString& stem, int count) {
    QStringList names;
    for (int i = 1; i <= count; ++i) {
        names.append(count == 1 ? stem : QStringLiteral("%1-%2").arg(stem).arg(i));
    }
    return names;
}

QStringList joined(const QList<QStringList>& lists) {
    QStringList all;
    for (const QStringList& list : lists) {
        all += list;
    }
    return all;
}

// Read as a job reads a message file before it hands it out, date repair included, so that the
// paths computed from it are the job's.
std::shared_ptr<MCOMessageParser> parseAsTheJobDoes(const QString& path) {
    QString mailappAttachments;
    return MessageLoader::makeMCOMessage(path, &mailappAttachments);
}

// ---------------------------------------------------------------------------------------------
// The bare engines' input: our HTML layout of each message

// The layout needs a view to hand its page to; this one is never shown and loads nothing.
class UnshownWebView : public MessageWebView {
public:
    using MessageWebView::MessageWebView;
    void setPartSource(PartSource) override {}
    void loadHtml(const QString&) override {}
    void stopLoading() override {}
    bool isLoading() const override { return false; }
    void bodyInnerHtml(std::function<void(const QString&)> callback) override { callback({}); }
    QSizeF contentsSize() const override { return {}; }
    qreal frameWidth() const override { return kViewWidth; }
    bool stillDownloadingResources() const override { return false; }
    void resetDownloadingStuff() override {}
    void printToPdf(const QPageLayout&, std::function<void(const QByteArray&)> callback) override {
        callback({});
    }
};

// One HTML file per message as our layout makes it (cut where our engine cuts it), with a byte
// order mark so the engine reads it as UTF-8 whatever its <meta> says.
QStringList writeHtmlFiles(const QStringList& messages, const QString& into,
                           const JobOptions& options) {
    QDir().mkpath(into);
    UnshownWebView view;
    MCTMsgViewController controller(&view, options);
    QStringList files;
    for (const QString& path : messages) {
        std::shared_ptr<MCOMessageParser> message = parseAsTheJobDoes(path);
        if (!message) {
            continue;
        }
        controller.setTheMessage(message); // the footer's header text comes from the controller
        const QString html =
            htmlRenderingWithDelegate(*message, &controller).left(MessageWebView::kMaxHtmlLength);
        const QString file = QStringLiteral("%1/%2.html").arg(into).arg(files.size());
        const QByteArray bytes = QByteArray("\xEF\xBB\xBF") + html.toUtf8();
        QFile out(file);
        if (out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.flush()) {
            files.append(file);
        }
    }
    controller.shutdown();
    return files;
}

// ---------------------------------------------------------------------------------------------
// Measuring

// The longest gap between ticks of a 5 ms timer on the calling thread's event loop, over a
// window from start().
class StallProbe {
public:
    StallProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kStallTickMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    }

    void start(int windowMs) {
        m_windowMs = windowMs;
        m_longestMs = 0;
        m_window.start();
        m_sinceTick.start();
        m_timer.start();
    }
    double longestGapMs() const { return m_longestMs; }

private:
    void tick() {
        m_longestMs = std::max(m_longestMs, m_sinceTick.nsecsElapsed() / 1e6);
        m_sinceTick.start();
        if (m_window.elapsed() >= m_windowMs) {
            m_timer.stop();
        }
    }

    QTimer m_timer;
    QElapsedTimer m_window;
    QElapsedTimer m_sinceTick;
    int m_windowMs = 0;
    double m_longestMs = 0;
};

double mib(qint64 kib) {
    return kib / 1024.0;
}

double ratio(double ours, double base) {
    return base > 0 ? ours / base : 0;
}

// ---------------------------------------------------------------------------------------------
// The bare engines

struct BareRun {
    double seconds = 0;
    qint64 peakPssKiB = 0;
    int pdfs = 0;
    bool ok = false;
};

int countFiles(const QString& folder, const QString& pattern) {
    int count = 0;
    QDirIterator it(folder, {pattern}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

QString writeList(const QStringList& files, const QString& path) {
    const QByteArray text = files.join(u'\n').toUtf8() + '\n';
    QFile list(path);
    if (!list.open(QIODevice::WriteOnly) || list.write(text) != text.size() || !list.flush()) {
        return {};
    }
    return path;
}

// The engine's start-up chatter is left out; the pages it could not print are shown.
void printFailedPages(const QByteArray& log) {
    const QList<QByteArray> lines = log.split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith("no PDF for")) {
            std::printf("    bare engine: %s\n", line.constData());
        }
    }
}

// Two bare engine processes, each printing one half of the files, started together; timed from
// their start (start-up included) until both have ended.
BareRun runBareEngines(const QStringList& htmlFiles, const QString& work, int timeoutSeconds) {
    const qsizetype half = (htmlFiles.size() + 1) / 2;
    const QList<QStringList> halves = {htmlFiles.mid(0, half), htmlFiles.mid(half)};
    QList<QString> lists;
    QList<QString> outs;
    for (qsizetype i = 0; i < halves.size(); ++i) {
        outs.append(QStringLiteral("%1/pdf-%2").arg(work).arg(i));
        QDir().mkpath(outs.last());
        lists.append(writeList(halves[i], QStringLiteral("%1/list-%2.txt").arg(work).arg(i)));
        if (lists.last().isEmpty()) {
            std::fprintf(stderr, "cannot write the bare engines' list in %s\n", qPrintable(work));
            return {};
        }
    }
    BareRun run;
    PeakPssSampler sampler;
    QElapsedTimer clock;
    clock.start();
    std::vector<std::unique_ptr<QProcess>> processes;
    for (qsizetype i = 0; i < halves.size(); ++i) {
        auto process = std::make_unique<QProcess>();
        process->start(QStringLiteral(TESSALY_BARE_PROGRAM), {lists[i], outs[i]});
        processes.push_back(std::move(process));
    }
    // Waited for in an event loop, which keeps reading both engines' output as it comes.
    QEventLoop loop;
    int running = static_cast<int>(processes.size());
    for (auto& process : processes) {
        QObject::connect(process.get(), &QProcess::finished, &loop, [&] {
            if (--running == 0) {
                loop.quit();
            }
        });
    }
    bool timedOut = false;
    QTimer::singleShot(std::chrono::seconds(timeoutSeconds), &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    loop.exec();
    run.seconds = clock.elapsed() / 1000.0;
    run.ok = !timedOut;
    for (auto& process : processes) {
        if (process->state() != QProcess::NotRunning) {
            std::fprintf(stderr, "a bare engine did not end in time; ended\n");
            process->kill();
            process->waitForFinished();
        }
        run.ok =
            run.ok && process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
        printFailedPages(process->readAllStandardError());
    }
    run.peakPssKiB = sampler.peakKiB();
    for (const QString& out : outs) {
        run.pdfs += countFiles(out, QStringLiteral("*.pdf"));
    }
    return run;
}

// ---------------------------------------------------------------------------------------------
// Our job

struct JobRun {
    double seconds = 0;
    qint64 peakPssKiB = 0;
    double longestStallMs = 0;
    JobFigures figures; // added up over the jobs
    int jobs = 0;
    bool stoppedOverLimit = false;
    bool timedOut = false;
    QString error;
};

struct RunLimits {
    qint64 pssLimitKiB = 0;
    int timeoutSeconds = 0;
};

// Called with a job's options before the job exists; the job's clock starts after it returns.
using PrepareJob = std::function<void(const JobOptions&)>;

void addFigures(JobFigures& sum, const JobFigures& one) {
    sum.found += one.found;
    sum.handedOut += one.handedOut;
    sum.pdfsMade += one.pdfsMade;
    sum.alreadyArchived += one.alreadyArchived;
    sum.emergencyEml += one.emergencyEml;
    sum.emlOnly += one.emlOnly;
    sum.failedTwice += one.failedTwice;
    sum.unreadable += one.unreadable;
    sum.notArchived += one.notArchived;
}

// One EML job per folder, all at once (as if each folder had been dropped on the window), into
// DEST/<folder name>; returns when every job has finished. Everything that builds our side of
// the benchmark is here, so a change to how jobs and their engines are made is made here alone.
JobRun runOurJob(const QStringList& folders, const QString& dest, const RunLimits& limits,
                 const PrepareJob& prepare = {}) {
    JobRun run;
    NotificationCenter* center = NotificationCenter::distributed();
    QTemporaryDir settings;
    PreferenceStore store(settings.filePath(QStringLiteral("prefs.conf")));
    store.registerStandardDefaults();
    store.setValue(prefkeys::maxNumRenderJobs, static_cast<int>(folders.size()));
    const QString runtime = privateRuntimeFolder();
    RenderBoxPool boxes(center, runtime, RemoteRender::defaultBoxProgram());
    ArchiveController controller(
        &store, center, RenderTool::boxEnvironment(&boxes, runtime + QStringLiteral("/split")),
        [dest] { return dest; });

    PeakPssSampler sampler;
    StallProbe stalls;
    QElapsedTimer clock;
    QEventLoop loop;
    QObject::connect(&controller, &ArchiveController::jobFinished, &loop, [&](RenderTool* job) {
        addFigures(run.figures, job->figures());
        if (++run.jobs == folders.size()) {
            loop.quit();
        }
    });
    auto cancelAll = [&controller] {
        const QList<RenderTool*> jobs = controller.renderJobs();
        for (RenderTool* job : jobs) {
            if (!job->allFinished()) {
                job->cancel();
            }
        }
    };
    // Many boxes at once can exhaust the machine; past the limit the run is given up.
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        if (!run.stoppedOverLimit && sampler.peakKiB() > limits.pssLimitKiB) {
            run.stoppedOverLimit = true;
            cancelAll();
        } else if (!run.timedOut && clock.elapsed() > limits.timeoutSeconds * 1000LL) {
            run.timedOut = true;
            cancelAll();
        }
    });

    auto startClocks = [&] {
        clock.start();
        stalls.start(kStallWindowMs);
    };
    startClocks();
    for (const QString& folder : folders) {
        const QString chosen = dest + u'/' + QFileInfo(folder).fileName();
        const auto adjust = [&](JobOptions& options) {
            if (prepare) {
                prepare(options);
                startClocks();
            }
        };
        if (!controller.startEMLJob({folder}, chosen, QString(), adjust, &run.error)) {
            cancelAll();
            return run;
        }
    }
    guard.start(250);
    loop.exec();
    run.seconds = clock.elapsed() / 1000.0;
    run.peakPssKiB = sampler.peakKiB();
    run.longestStallMs = stalls.longestGapMs();
    return run;
}

// ---------------------------------------------------------------------------------------------
// Printing

void printBare(const BareRun& bare, qsizetype messages) {
    std::printf("  bare QtWebEngine, 2 processes: %d PDFs of %lld HTML files in %.1f s "
                "(%.2f messages/s), peak PSS %.0f MB%s\n",
                bare.pdfs, static_cast<long long>(messages), bare.seconds,
                messages / std::max(bare.seconds, 1e-9), mib(bare.peakPssKiB),
                bare.ok ? "" : " (a process failed)");
}

void printJob(const char* label, const JobRun& run) {
    if (!run.error.isEmpty()) {
        std::printf("  %s: could not start: %s\n", label, qPrintable(run.error));
        return;
    }
    const JobFigures& f = run.figures;
    std::printf("  %s: %d messages handed out in %.1f s (%.2f messages/s), peak PSS %.0f MB, "
                "longest main-thread gap in the first 10 s %.1f ms\n",
                label, f.handedOut, run.seconds, f.handedOut / std::max(run.seconds, 1e-9),
                mib(run.peakPssKiB), run.longestStallMs);
    std::printf("    found %d, PDFs made %d, EML only %d, already archived %d, emergency EML %d, "
                "failed twice %d, unreadable %d, not archived %d\n",
                f.found, f.pdfsMade, f.emlOnly, f.alreadyArchived, f.emergencyEml, f.failedTwice,
                f.unreadable, f.notArchived);
    if (run.stoppedOverLimit) {
        std::printf("    STOPPED: the process tree passed the PSS limit; figures are partial\n");
    }
    if (run.timedOut) {
        std::printf("    STOPPED: the run passed its time limit; figures are partial\n");
    }
}

// ---------------------------------------------------------------------------------------------
// Phases

struct Bench {
    Options options;
    QStringList sources;
    QString work; // this run's scratch folder
    RunLimits limits;
    JobOptions layoutOptions;
};

// Ours beside the bare engines for `count` messages.
void compareWithBare(const Bench& bench, int count) {
    std::printf("\n== %d messages: our EML job beside two bare QtWebEngine processes "
                "(start-up included)\n",
                count);
    const QString base = QStringLiteral("%1/compare-%2").arg(bench.work).arg(count);
    const QStringList messages = joined(drawMessages(
        bench.sources, count, base + QStringLiteral("/in"), QStringList{QStringLiteral("mail")}));
    std::optional<BareRun> bare;
    if (!bench.options.skipBare) {
        const QStringList html =
            writeHtmlFiles(messages, base + QStringLiteral("/html"), bench.layoutOptions);
        bare = runBareEngines(html, base + QStringLiteral("/bare"), bench.limits.timeoutSeconds);
        printBare(*bare, html.size());
    }
    const JobRun ours = runOurJob({base + QStringLiteral("/in/mail")},
                                  base + QStringLiteral("/dest"), bench.limits);
    printJob("our EML job", ours);
    if (bare && ours.error.isEmpty()) {
        std::printf("  ours / bare, %d messages: wall time %.2f, peak PSS %.2f\n", count,
                    ratio(ours.seconds, bare->seconds),
                    ratio(static_cast<double>(ours.peakPssKiB), bare->peakPssKiB));
    }
}

// The scaling re-run's side: one job over `count` messages, and one line to read back.
int coresOnly(const Bench& bench) {
    const QString base = bench.work + QStringLiteral("/cores");
    drawMessages(bench.sources, bench.options.count, base + QStringLiteral("/in"),
                 QStringList{QStringLiteral("mail")});
    const JobRun run = runOurJob({base + QStringLiteral("/in/mail")},
                                 base + QStringLiteral("/dest"), bench.limits);
    printJob("our EML job", run);
    if (!run.error.isEmpty() || run.stoppedOverLimit || run.timedOut) {
        return kCoresExitNoResult;
    }
    std::printf("%s messages=%d seconds=%.3f\n", kCoresResultTag.constData(), run.figures.handedOut,
                run.seconds);
    return 0;
}

struct CoresResult {
    int messages = 0;
    double seconds = 0;
    double rate() const { return messages / std::max(seconds, 1e-9); }
};

std::optional<CoresResult> runOnCores(const Bench& bench, const QString& cpus, const char* label,
                                      int count) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList args = {QStringLiteral("-c"),
                              cpus,
                              QCoreApplication::applicationFilePath(),
                              QStringLiteral("--cores-only"),
                              QStringLiteral("--count"),
                              QString::number(count),
                              QStringLiteral("--corpus"),
                              bench.options.corpus,
                              QStringLiteral("--pss-limit-mb"),
                              QString::number(bench.options.pssLimitMiB),
                              QStringLiteral("--timeout"),
                              QString::number(bench.options.timeoutSeconds)};
    child.start(QStringLiteral("taskset"), args);
    if (!child.waitForFinished((bench.options.timeoutSeconds + 120) * 1000)) {
        child.kill();
        child.waitForFinished();
        return std::nullopt;
    }
    const QList<QByteArray> lines = child.readAllStandardOutput().split('\n');
    for (const QByteArray& line : lines) {
        static const QRegularExpression result(QStringLiteral("messages=(\\d+) seconds=([\\d.]+)"));
        const auto match = result.match(QString::fromLatin1(line));
        if (line.startsWith(kCoresResultTag) && match.hasMatch()) {
            return CoresResult{match.captured(1).toInt(), match.captured(2).toDouble()};
        }
        if (!line.isEmpty()) {
            std::printf("  [%s] %s\n", label, line.constData());
        }
    }
    return std::nullopt;
}

void compareCores(const Bench& bench, int count) {
    std::printf("\n== Scaling: one EML job over %d messages on 1 core and on 2 cores (taskset)\n",
                count);
    const std::optional<CoresResult> one = runOnCores(bench, QStringLiteral("0"), "1 core", count);
    const std::optional<CoresResult> two =
        runOnCores(bench, QStringLiteral("0,1"), "2 cores", count);
    for (const auto& [label, result] : {std::pair{"1 core ", one}, std::pair{"2 cores", two}}) {
        if (result) {
            std::printf("  %s: %.2f messages/s (%d messages in %.1f s)\n", label, result->rate(),
                        result->messages, result->seconds);
        } else {
            std::printf("  %s: no result\n", label);
        }
    }
    if (one && two) {
        std::printf("  2 cores / 1 core: %.2f\n", ratio(two->rate(), one->rate()));
    }
}

void manyJobs(const Bench& bench, int count) {
    const int jobs = bench.options.jobs;
    std::printf("\n== %d EML jobs at once over %d messages (maxNumRenderJobs = %d)\n", jobs, count,
                jobs);
    const QString base = bench.work + QStringLiteral("/jobs");
    const QStringList names = folderNames(QStringLiteral("mail"), jobs);
    drawMessages(bench.sources, count, base + QStringLiteral("/in"), names);
    QStringList folders;
    for (const QString& name : names) {
        folders.append(base + QStringLiteral("/in/") + name);
    }
    const JobRun run = runOurJob(folders, base + QStringLiteral("/dest"), bench.limits);
    printJob(qPrintable(QStringLiteral("%1 jobs").arg(jobs)), run);
}

QStringList pdfsUnder(const QString& folder) {
    QStringList pdfs;
    QDirIterator it(folder, {QStringLiteral("*.pdf")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        pdfs.append(it.next());
    }
    return pdfs;
}

// What preparing did with the messages.
struct Preparing {
    int placed = 0;
    int unreadable = 0; // no message could be made of the file
    int noPath = 0;     // the PDF format is off
    int sharedPath = 0; // another message had the same path
    int notWritten = 0;
};

// Puts a copy of one of the real PDFs at the path the job will test for each message, computed
// from the job's own options, main folder (the dropped folder's name) and mail folder ("EML" for
// files directly in it), and records it in the archive's ledger as a run of this version would:
// the re-run then takes the path an archive made by Tessaly takes.
Preparing prepareArchive(const QStringList& messages, const JobOptions& options,
                         const QStringList& realPdfs) {
    const JobFolders folders(
        JobFolders::commonAncestorEMLPaths(options.emlFiles.value_or(QStringList{})), QString(),
        QString());
    const QString mainFolder = folders.getMainFolder();
    Preparing preparing;
    QString error;
    std::unique_ptr<ArchiveLedger> ledger =
        ArchiveLedger::open(QDir::cleanPath(DestinationPaths::chosenDestination(options)),
                            &SoundFiles::pdfOrEmlLooksOK, &error);
    if (!ledger) {
        std::printf("  cannot open the archive's ledger: %s\n", qPrintable(error));
        return preparing;
    }
    for (qsizetype i = 0; i < messages.size(); ++i) {
        std::shared_ptr<MCOMessageParser> message = parseAsTheJobDoes(messages[i]);
        if (!message) {
            ++preparing.unreadable;
            continue;
        }
        const QString pdf = DestinationPaths::destinationPath(*message, mainFolder,
                                                              folders.emlSubFolder(messages[i]),
                                                              FormatKey::Pdf, QString(), options);
        if (pdf.isEmpty()) {
            ++preparing.noPath;
            continue;
        }
        const std::optional<ArchiveLedger::Claim> claim = ledger->claim(
            MessageIdentity::of(message->header(), message->data()), pdf, messages[i], {}, &error);
        if (!claim || claim->kind != ArchiveLedger::Claim::Kind::Reserved || claim->path != pdf) {
            ++preparing.sharedPath;
        } else if (QFile::copy(realPdfs[i % realPdfs.size()], pdf) &&
                   ledger->record(claim->row, ArchiveLedger::Outcome::Made, QString(), pdf,
                                  {*FileRecord::of(pdf)}, &error)) {
            ++preparing.placed;
        } else {
            ++preparing.notWritten;
        }
    }
    return preparing;
}

void rerun(const Bench& bench, int count) {
    std::printf("\n== Re-run over %d already archived messages\n", count);
    const QString base = bench.work + QStringLiteral("/rerun");
    drawMessages(bench.sources, kRealRenders, base + QStringLiteral("/real-in"),
                 QStringList{QStringLiteral("real")});
    const JobRun realRun = runOurJob({base + QStringLiteral("/real-in/real")},
                                     base + QStringLiteral("/real-dest"), bench.limits);
    const QStringList realPdfs = pdfsUnder(base + QStringLiteral("/real-dest"));
    std::printf("  rendered %lld messages for real to prepare the archive with\n",
                static_cast<long long>(realPdfs.size()));
    if (realPdfs.isEmpty()) {
        printJob("real-render job", realRun);
        std::printf("  no real PDF to prepare it with: re-run skipped\n");
        return;
    }
    const QStringList messages =
        joined(drawMessages(bench.sources, count, base + QStringLiteral("/in"),
                            QStringList{QStringLiteral("Archive")}));
    Preparing prepared;
    QElapsedTimer preparing;
    const JobRun run =
        runOurJob({base + QStringLiteral("/in/Archive")}, base + QStringLiteral("/dest"),
                  bench.limits, [&](const JobOptions& options) {
                      preparing.start();
                      prepared = prepareArchive(messages, options, realPdfs);
                  });
    std::printf("  PREPARED ARCHIVE: %d of %lld messages were not rendered; a copy of a real "
                "rendered PDF was placed at each one's PDF path and recorded in the ledger "
                "(%.1f s, not timed)\n",
                prepared.placed, static_cast<long long>(messages.size()),
                preparing.elapsed() / 1000.0);
    std::printf("    not placed: unreadable %d, PDF format off %d, path shared with another "
                "message %d, not written %d\n",
                prepared.unreadable, prepared.noPath, prepared.sharedPath, prepared.notWritten);
    printJob("re-run job", run);
    std::printf("  re-run over %d messages: %.2f s, %d found already archived (target < 5 s)\n",
                run.figures.found, run.seconds, run.figures.alreadyArchived);
}

JobOptions layoutOptions(const QString& work) {
    PreferenceStore store(work + QStringLiteral("/layout-prefs.conf"));
    store.registerStandardDefaults();
    JobOptions options;
    options.tinyHeaders = store.includeTinyHeaderText();
    return options;
}

void runAll(const Bench& bench) {
    const Options& options = bench.options;
    std::printf("Tessaly archive benchmark: messages drawn from %s (%lld files)\n",
                qPrintable(options.corpus), static_cast<long long>(bench.sources.size()));
    compareWithBare(bench, options.count);
    const int small = std::min(options.smallCount, options.count);
    if (small > 0 && small < options.count) {
        compareWithBare(bench, small);
    }
    if (small > 0) {
        compareCores(bench, small);
    }
    if (options.jobs > 0) {
        manyJobs(bench, options.count);
    }
    if (options.rerunCount > 0) {
        rerun(bench, options.rerunCount);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("TESSALY_RENDERBOX_PROGRAM")) {
        qputenv("TESSALY_RENDERBOX_PROGRAM", TESSALY_BOX_PROGRAM);
    }
    const std::optional<Options> options = parseOptions(app.arguments().mid(1));
    if (!options) {
        return 1;
    }
    if (!NotificationCenter::distributed()->isConnected()) {
        std::fprintf(stderr, "no session bus: run under dbus-run-session\n");
        return 1;
    }
    QTemporaryDir work;
    Bench bench{*options, corpusMessages(options->corpus), work.path(),
                RunLimits{options->pssLimitMiB * 1024, options->timeoutSeconds},
                layoutOptions(work.path())};
    if (bench.sources.isEmpty()) {
        std::fprintf(stderr, "no .eml files in %s\n", qPrintable(options->corpus));
        return 1;
    }
    if (options->coresOnly) {
        return coresOnly(bench);
    }
    runAll(bench);
    return 0;
}
