// Measures what a message's words cost the index when a job hands them over as it archives
// (read from the parsed message) beside what they cost a crawl (read back out of the PDF the
// message became), per message: median, 95th percentile and total.
//
//   bench_messagetext --mail DIR --archive DIR
//
// DIR of --mail holds .eml files (../shared/corpus/eml); DIR of --archive is what
// `tessaly-cli archive` made of them, whose message PDFs are read as a crawl reads them.

#include "percentiles.h"
#include "platform/mail/mcomessageparser.h"
#include "search/archiveindexer.h"
#include "search/messagetext.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tessaly;

namespace {

QStringList filesUnder(const QString& folder, const QString& pattern, bool skipAttachments) {
    QStringList files;
    QDirIterator it(folder, {pattern}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!skipAttachments || ArchiveIndexer::kindOf(path.mid(folder.size() + 1)) == u"pdf") {
            files.append(path);
        }
    }
    return files;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv); // QtPdf lays text out with the GUI's fonts
    QString mail;
    QString archive;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == u"--mail") {
            mail = args[i + 1];
        } else if (args[i] == u"--archive") {
            archive = args[i + 1];
        }
    }
    if (mail.isEmpty() || archive.isEmpty()) {
        std::fprintf(stderr, "usage: bench_messagetext --mail DIR --archive DIR\n");
        return 1;
    }

    std::vector<double> fromMessages;
    qsizetype messageChars = 0;
    for (const QString& path : filesUnder(mail, QStringLiteral("*.eml"), false)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray data = file.readAll();
        QElapsedTimer clock;
        clock.start();
        // Parsed here because the job's parse is for the render; only the words are extra.
        const auto message = MCOMessageParser::messageParserWithData(data);
        messageChars += MessageText::of(*message, ArchiveIndexer::kMaxTextChars).size();
        fromMessages.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::vector<double> fromPdfs;
    qsizetype pdfChars = 0;
    for (const QString& path : filesUnder(archive, QStringLiteral("*.pdf"), true)) {
        QElapsedTimer clock;
        clock.start();
        pdfChars += ArchiveIndexer::pdfText(path).size();
        fromPdfs.push_back(clock.nsecsElapsed() / 1e6);
    }
    const bench::Percentiles m = bench::percentiles(fromMessages);
    const bench::Percentiles p = bench::percentiles(fromPdfs);
    std::printf("words of one message            count   median ms   95th ms   total s   chars\n");
    std::printf("  from the message (parse+text) %5zu %11.2f %9.2f %9.2f %8lld\n", m.count,
                m.median, m.p95, m.total / 1000, static_cast<long long>(messageChars));
    std::printf("  from its PDF (QtPdf, baseline)%5zu %11.2f %9.2f %9.2f %8lld\n", p.count,
                p.median, p.p95, p.total / 1000, static_cast<long long>(pdfChars));
    return 0;
}
