// Measures how responsive the desktop window stays while archiving starts: the application
// (window, views, job list, render boxes) runs in this process, a 1 ms timer on its main thread
// notes the longest gap between its ticks, and a small repaint of the window is forced every
// 16 ms so that painting counts too. Figures, each the longest gap in milliseconds:
//   baseline  the same window with no job, for the same time
//   drop      files dropped on the window: the job is made and its boxes start
//   sources   "Archive All Now" over folder sources
// Nothing is asserted; every figure is measured in this run.
//
//   dbus-run-session -- bench_guistall [--messages N] [--window-ms MS] [--rounds R]

#include "app/mainwindow.h"
#include "app/tessalyapp.h"
#include "archive/archivecontroller.h"
#include "platform/files/runtimefolder.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/web/qtwebengine/webengineprocess.h"
#include "settings/fxkeychain.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tessaly;

namespace {

class StallProbe {
public:
    explicit StallProbe(QWidget* window)
        : m_window(window) {
        m_tick.setTimerType(Qt::PreciseTimer);
        m_tick.setInterval(1);
        QObject::connect(&m_tick, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, m_sinceTick.nsecsElapsed() / 1e6);
            m_sinceTick.start();
        });
        m_paint.setInterval(16);
        QObject::connect(&m_paint, &QTimer::timeout, [this] { m_window->repaint(); });
    }
    void start() {
        m_longest = 0;
        m_sinceTick.start();
        m_tick.start();
        m_paint.start();
    }
    double stop() {
        m_tick.stop();
        m_paint.stop();
        return m_longest;
    }

private:
    QWidget* m_window;
    QTimer m_tick;
    QTimer m_paint;
    QElapsedTimer m_sinceTick;
    double m_longest = 0;
};

void wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QByteArray message(int n) {
    QByteArray html = "<html><body><h1>Stall " + QByteArray::number(n) + "</h1>";
    for (int p = 0; p < 30; ++p) {
        html += "<p>Paragraph " + QByteArray::number(p) + " of a message.</p>";
    }
    html += "</body></html>";
    QByteArray text =
        "From: Sender <sender@example.com>\r\nTo: rcpt@example.com\r\nSubject: stall " +
        QByteArray::number(n) + "\r\nDate: Sat, 18 Jan 2014 08:16:20 +0000\r\nMessage-ID: <stall" +
        QByteArray::number(n) +
        "@example.com>\r\nMIME-Version: 1.0\r\nContent-Type: text/html\r\n\r\n" + html + "\r\n";
    return text;
}

QStringList writeMessages(const QString& folder, int count) {
    QDir().mkpath(folder);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("%1/m%2.eml").arg(folder).arg(i);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(message(i)) < 0) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return {};
        }
        paths.append(path);
    }
    return paths;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[]) {
    prepareWebEngineProcess(false);
    QApplication app(argc, argv);
    int messages = 40;
    int windowMs = 4000;
    int rounds = 3;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QStringLiteral("--messages")) {
            messages = args[i + 1].toInt();
        } else if (args[i] == QStringLiteral("--window-ms")) {
            windowMs = args[i + 1].toInt();
        } else if (args[i] == QStringLiteral("--rounds")) {
            rounds = args[i + 1].toInt();
        }
    }
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("Out"));
    QDir().mkpath(out);
    qputenv("TESSALY_TEST_FOLDER_CHOICE", out.toUtf8());
    qputenv("TESSALY_RENDERBOX_PROGRAM", TESSALY_BOX_PROGRAM);
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CACHE_HOME", dir.filePath(QStringLiteral("cache")).toUtf8());
    QString error;
    const QString runtime = privateRuntimeFolder(&error);
    if (runtime.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    PreferenceStore store(dir.filePath(QStringLiteral("Tessaly.conf")));
    store.registerStandardDefaults();
    store.setDestinationFolder(dir.filePath(QStringLiteral("Archive")));
    QDir().mkpath(store.destinationFolder());
    store.setValue(prefkeys::crashReportsAsked, true);
    TessalyApp tessaly(store, FXKeychain::defaultKeychain(), runtime);
    tessaly.launch();
    StallProbe probe(tessaly.window());
    wait(1500);

    std::vector<double> baseline;
    std::vector<double> drop;
    std::vector<double> sources;
    for (int round = 0; round < rounds; ++round) {
        probe.start();
        wait(windowMs);
        baseline.push_back(probe.stop());

        const QStringList files =
            writeMessages(dir.filePath(QStringLiteral("drop%1").arg(round)), messages);
        probe.start();
        tessaly.handleEMLFilesUI(files);
        wait(windowMs);
        drop.push_back(probe.stop());
        tessaly.archiveController().stopArchiving(
            tessaly.archiveController().renderJobs().isEmpty()
                ? QString()
                : tessaly.archiveController().renderJobs().first()->jobName());
        wait(1000);

        const QString source = dir.filePath(QStringLiteral("source%1").arg(round));
        writeMessages(source, messages);
        store.setValue(QStringLiteral("FolderItems"), QStringList{source});
        probe.start();
        tessaly.archiveController().startArchiving();
        wait(windowMs);
        sources.push_back(probe.stop());
        tessaly.archiveController().stopArchiving(source);
        wait(1000);
    }
    std::printf("longest main-thread stall (ms), median of %d rounds of %d ms, %d messages\n",
                rounds, windowMs, messages);
    std::printf("  baseline (idle window) %7.1f\n", median(baseline));
    std::printf("  files dropped          %7.1f\n", median(drop));
    std::printf("  archive all sources    %7.1f\n", median(sources));
    std::printf("  all rounds: baseline");
    for (double v : baseline) {
        std::printf(" %.1f", v);
    }
    std::printf("; dropped");
    for (double v : drop) {
        std::printf(" %.1f", v);
    }
    std::printf("; sources");
    for (double v : sources) {
        std::printf(" %.1f", v);
    }
    std::printf("\n");
    return 0;
}
