#include "app/cli/rendercommand.h"

#include "app/cli/cliconfig.h"
#include "render/localrenderengine.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace tessaly {

namespace {

struct Tally {
    int made = 0;
    int skipped = 0;
    int emlOnly = 0;
    int failed = 0;
};

// Waits, with the event loop running, until the engine has let go of the message.
void waitUntilIdle(MessageToHTMLToPDF& engine) {
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!engine.busyDoingSomething()) {
            loop.quit();
        }
    });
    poll.start();
    if (engine.busyDoingSomething()) {
        loop.exec();
    }
}

} // namespace

int runRenderCommand(const QStringList& arguments, PreferenceStore& store, MessageWebView& view,
                     QTextStream& out, QTextStream& err) {
    CliJob job;
    QStringList messages;
    if (!parseMessageCommand(QStringLiteral("render"), arguments, store, job, messages, err)) {
        return 1;
    }

    LocalRenderEngine engine(job.options, &view);
    Tally tally;
    for (const QString& path : messages) {
        QFile file(path);
        if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
            const QString reason =
                QFileInfo(path).isDir() ? QStringLiteral("is a folder") : file.errorString();
            err << path << ": " << reason << '\n';
            out << path << "\tfailed\t-\n";
            out.flush();
            ++tally.failed;
            continue;
        }
        // The engine is idle here: each message is waited for before the next.
        const bool started = engine.startRender(
            MCOMessageParser::messageParserWithData(file.readAll()), job.mainFolder, job.mailFolder,
            false, QStringLiteral("tessaly-cli"), QString());
        Q_ASSERT(started);
        Q_UNUSED(started);
        waitUntilIdle(engine);
        (void)engine.getAndClearFailedMessage(nullptr);

        QString word;
        switch (engine.lastOutcome()) {
        case MessageToHTMLToPDF::Outcome::Made:
            word = QStringLiteral("made");
            ++tally.made;
            break;
        case MessageToHTMLToPDF::Outcome::AlreadyArchived:
            word = QStringLiteral("skipped");
            ++tally.skipped;
            break;
        case MessageToHTMLToPDF::Outcome::EmlOnly:
            word = QStringLiteral("eml-only");
            ++tally.emlOnly;
            break;
        case MessageToHTMLToPDF::Outcome::Nothing:
            err << path << ": nothing to write, the PDF and EML formats are both off\n";
            word = QStringLiteral("skipped");
            ++tally.skipped;
            break;
        default:
            err << path << ": no sound PDF could be made ("
                << (engine.lastReason().isEmpty() ? QStringLiteral("no reason given")
                                                  : engine.lastReason())
                << ")"
                << (engine.lastOutcome() == MessageToHTMLToPDF::Outcome::Failed ||
                            engine.lastOutcome() == MessageToHTMLToPDF::Outcome::EmergencyEml
                        ? "; an EML copy was kept beside its path\n"
                        : "\n");
            word = QStringLiteral("failed");
            ++tally.failed;
            break;
        }
        const QString pdf =
            word == u"made" || word == u"skipped" ? engine.lastPdfPath() : QString();
        out << path << '\t' << word << '\t' << (pdf.isEmpty() ? QStringLiteral("-") : pdf) << '\n';
        out.flush();
    }
    out << "rendered " << messages.size() << ": made " << tally.made << ", skipped "
        << tally.skipped << ", eml-only " << tally.emlOnly << ", failed " << tally.failed << '\n';
    out.flush();
    return tally.failed > 0 ? 2 : 0;
}

} // namespace tessaly
