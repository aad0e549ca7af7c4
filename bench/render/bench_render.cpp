// Renders a fixed set of corpus messages with one warm engine and prints where the time went:
// the layout engine's share (waiting for the page, printing) beside our own (attachments, HTML,
// writing and stamping the PDF, tags, EML copy), and the peak memory of the process tree.
//
//   bench_render [--rounds N] [MESSAGE...]   defaults: 3 rounds over a mixed corpus sample

#include "platform/web/qtwebengine/webenginemessageview.h"
#include "platform/web/qtwebengine/webengineprocess.h"
#include "processtree.h"
#include "render/localrenderengine.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace tessaly;

namespace {

QStringList defaultSample() {
    const QString corpus = QStringLiteral(TESSALY_SHARED_DIR) + QStringLiteral("/corpus/eml/");
    const char* names[] = {"thunderbird-mailnews-01-plaintext.eml",
                           "thunderbird-mailnews-05-HTML+embedded-image.eml",
                           "thunderbird-mailnews-04-HTML+attachment.eml",
                           "mimekit-messages-japanese.eml",
                           "flanker-torture.eml",
                           "satest-welcomelists-action.eff.org.eml",
                           "phpmime-m0004.eml",
                           "mimekit-dkim-gmail.eml",
                           "notmuch-html-embedded-image.eml",
                           "rubymail-attachment_emails-attachment_pdf.eml"};
    QStringList paths;
    for (const char* name : names) {
        if (QFile::exists(corpus + QLatin1String(name))) {
            paths.append(corpus + QLatin1String(name));
        }
    }
    return paths;
}

} // namespace

int main(int argc, char* argv[]) {
    prepareWebEngineProcess(true);
    QApplication app(argc, argv);
    int rounds = 3;
    QStringList messages;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == u"--rounds" && i + 1 < args.size()) {
            rounds = args[++i].toInt();
        } else {
            messages.append(args[i]);
        }
    }
    if (messages.isEmpty()) {
        messages = defaultSample();
    }
    if (messages.isEmpty()) {
        std::fprintf(stderr, "no messages given and no shared corpus found\n");
        return 1;
    }

    WebEngineMessageView view;
    qint64 peak = 0;
    RenderTimings total;
    int made = 0;
    std::printf("%-48s %8s %8s %8s %8s %8s %8s  (ms)\n", "message", "attach", "html", "page",
                "print", "finish", "ours");
    for (int round = 0; round < rounds; ++round) {
        // A fresh destination each round, so every message is rendered, not skipped.
        QTemporaryDir dest;
        JobOptions options;
        options.destFolder = dest.path();
        options.pdfFormat = QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__.pdf");
        options.attachmentFormat =
            QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__ (attachments)/__filename__");
        options.emlFormat = QStringLiteral("%Y/%m/__subject__.eml");
        LocalRenderEngine engine(options, &view);
        for (const QString& path : messages) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                continue;
            }
            if (!engine.startRender(MCOMessageParser::messageParserWithData(file.readAll()), {}, {},
                                    false, {}, {})) {
                continue;
            }
            QDeadlineTimer deadline(360000);
            while (engine.busyDoingSomething() && !deadline.hasExpired()) {
                QTest::qWait(5);
            }
            peak = std::max(peak, processTreeRssKiB());
            if (engine.lastOutcome() != MessageToHTMLToPDF::Outcome::Made) {
                continue;
            }
            const RenderTimings& t = engine.lastTimings();
            const double ours = t.attachments + t.html + t.finish;
            if (round == rounds - 1) {
                std::printf("%-48s %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f\n",
                            qPrintable(QFileInfo(path).fileName().left(48)), t.attachments, t.html,
                            t.waitForPage, t.print, t.finish, ours);
            }
            if (round > 0) { // the first round warms the engine up
                total.attachments += t.attachments;
                total.html += t.html;
                total.waitForPage += t.waitForPage;
                total.print += t.print;
                total.finish += t.finish;
                ++made;
            }
        }
    }
    const double ours = total.attachments + total.html + total.finish;
    std::printf("\nwarm rounds: %d PDFs made\n", made);
    std::printf(
        "engine: waiting for the page %.0f ms (mostly the 0.8 s check period), printing %.0f ms\n",
        total.waitForPage, total.print);
    std::printf("ours:   attachments %.0f ms, HTML %.0f ms, finishing %.0f ms, total %.0f ms "
                "(%.1f %% of printing)\n",
                total.attachments, total.html, total.finish, ours,
                total.print > 0 ? ours / total.print * 100 : 0);
    std::printf("peak memory of the process tree: %.0f MB\n", peak / 1024.0);
    return 0;
}
