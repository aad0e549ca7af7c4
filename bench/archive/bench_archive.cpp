// Archives N messages drawn from the corpus through render boxes, as `tessaly-cli archive`
// does, and prints wall time, messages per second and the peak memory of the whole process
// tree; then runs again over the same files, which finds everything archived.
//
//   dbus-run-session -- bench_archive [--count N] [--corpus FOLDER]

#include "archive/archivecontroller.h"
#include "platform/bus/notificationcenter.h"
#include "platform/prefs/preferencestore.h"
#include "processtree.h"
#include "archive/remoterender.h"
#include "platform/files/runtimefolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace tessaly;

namespace {

// Copies of corpus messages, each made distinct so that none shares another's PDF path.
QStringList drawMessages(const QString& corpus, int count, const QString& into) {
    QStringList sources;
    QDirIterator it(corpus, {QStringLiteral("*.eml")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        sources.append(it.next());
    }
    sources.sort();
    QStringList written;
    static const QRegularExpression subject(QStringLiteral("^Subject:([^\\r\\n]*)"),
                                            QRegularExpression::MultilineOption |
                                                QRegularExpression::CaseInsensitiveOption);
    for (int i = 0; i < count && !sources.isEmpty(); ++i) {
        QFile source(sources[i % sources.size()]);
        if (!source.open(QIODevice::ReadOnly)) {
            continue;
        }
        QString text = QString::fromLatin1(source.readAll());
        const auto match = subject.match(text);
        if (match.hasMatch()) {
            text.insert(match.capturedEnd(1), QStringLiteral(" #%1").arg(i));
        } else {
            text.prepend(QStringLiteral("Subject: bench #%1\r\n").arg(i));
        }
        const QString path = QStringLiteral("%1/m%2.eml").arg(into).arg(i, 5, 10, QLatin1Char('0'));
        QFile out(path);
        if (out.open(QIODevice::WriteOnly)) {
            out.write(text.toLatin1());
            written.append(path);
        }
    }
    return written;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("TESSALY_RENDERBOX_PROGRAM")) {
        qputenv("TESSALY_RENDERBOX_PROGRAM", TESSALY_BOX_PROGRAM);
    }
    int count = 1000;
    QString corpus = QStringLiteral(TESSALY_SHARED_DIR) + QStringLiteral("/corpus/eml");
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == u"--count") {
            count = args[++i].toInt();
        } else if (args[i] == u"--corpus") {
            corpus = args[++i];
        }
    }
    NotificationCenter* center = NotificationCenter::distributed();
    if (!center->isConnected()) {
        std::fprintf(stderr, "no session bus: run under dbus-run-session\n");
        return 1;
    }
    QTemporaryDir work;
    const QString in = work.filePath(QStringLiteral("in"));
    QDir().mkpath(in);
    const QStringList messages = drawMessages(corpus, count, in);
    std::printf("%lld messages drawn from %s\n", static_cast<long long>(messages.size()),
                qPrintable(corpus));

    PreferenceStore store(work.filePath(QStringLiteral("prefs.conf")));
    store.registerStandardDefaults();
    const QString runtime = privateRuntimeFolder();
    const QString program = RemoteRender::defaultBoxProgram();
    RenderTool::Environment environment;
    environment.splitRoot = runtime + QStringLiteral("/split");
    environment.makeEngine = [&](const JobOptions& options) {
        return std::make_unique<MessageToHTMLToPDF>(
            options, std::make_unique<RemoteRender>(options, center, runtime, program));
    };
    const QString dest = work.filePath(QStringLiteral("dest"));
    ArchiveController controller(&store, center, environment, [dest] { return dest; });

    for (const char* round : {"first run", "second run"}) {
        QElapsedTimer clock;
        clock.start();
        qint64 peak = 0;
        JobFigures figures;
        QEventLoop loop;
        QObject::connect(&controller, &ArchiveController::jobFinished, &loop, [&](RenderTool* job) {
            figures = job->figures();
            loop.quit();
        });
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout,
                         [&] { peak = std::max(peak, processTreeRssKiB()); });
        sampler.start(250);
        if (!controller.startEMLJob({in}, QString(), QString())) {
            std::fprintf(stderr, "%s\n", qPrintable(controller.lastError()));
            return 1;
        }
        loop.exec();
        sampler.stop();
        const double seconds = clock.elapsed() / 1000.0;
        std::printf("%s: %.1f s, %.1f messages/s, peak memory of the process tree %.0f MB\n", round,
                    seconds, figures.handedOut / seconds, peak / 1024.0);
        std::printf("  found %d, PDFs made %d, already archived %d, emergency EML %d, "
                    "unreadable %d, not archived %d\n",
                    figures.found, figures.pdfsMade + figures.emlOnly, figures.alreadyArchived,
                    figures.emergencyEml, figures.unreadable, figures.notArchived);
        QObject::disconnect(&controller, &ArchiveController::jobFinished, &loop, nullptr);
    }
    return 0;
}
