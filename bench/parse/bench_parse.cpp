// Parses a folder of messages over and over and prints throughput: GMime's own parse of the
// bytes, the message seam (parse and header), and the seam with every part decoded.
//
//   bench_parse [FOLDER] [--seconds N]     FOLDER defaults to the shared corpus's eml/

#include "platform/mail/mcomessageparser.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>

#include <gmime/gmime.h>

#include <cstdio>
#include <functional>
#include <memory>

using namespace tessaly;

namespace {

// The baseline is GMime alone, as any program would call it, with none of the seam's help.
struct Unref {
    void operator()(gpointer object) const {
        if (object) {
            g_object_unref(object);
        }
    }
};
template <typename T> using Owned = std::unique_ptr<T, Unref>;

struct Figures {
    double seconds = 0;
    qint64 messages = 0;
    qint64 bytes = 0;
};

Figures measure(const QList<QByteArray>& corpus, double minimumSeconds,
                const std::function<void(const QByteArray&)>& parse) {
    Figures figures;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < minimumSeconds * 1000) {
        for (const QByteArray& raw : corpus) {
            parse(raw);
            ++figures.messages;
            figures.bytes += raw.size();
        }
    }
    figures.seconds = timer.nsecsElapsed() / 1e9;
    return figures;
}

void print(const char* name, const Figures& f, const Figures* baseline) {
    const double mbps = f.bytes / f.seconds / (1024.0 * 1024.0);
    const double mps = f.messages / f.seconds;
    std::printf("%-28s %9.1f MB/s %10.0f messages/s", name, mbps, mps);
    if (baseline) {
        const double baseMps = baseline->messages / baseline->seconds;
        std::printf("   %+6.1f %% time per message vs GMime", (baseMps / mps - 1.0) * 100.0);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QString folder = QStringLiteral(TESSALY_SHARED_DIR) + QStringLiteral("/corpus/eml");
    double seconds = 3;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == u"--seconds" && i + 1 < args.size()) {
            seconds = args[++i].toDouble();
        } else {
            folder = args[i];
        }
    }

    QList<QByteArray> corpus;
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly)) {
            corpus.append(file.readAll());
            total += corpus.last().size();
        }
    }
    if (corpus.isEmpty()) {
        std::fprintf(stderr, "no messages in %s\n", qPrintable(folder));
        return 1;
    }
    std::printf("%lld messages, %.1f MB from %s; at least %.0f s per row\n",
                static_cast<long long>(corpus.size()), total / (1024.0 * 1024.0),
                qPrintable(folder), seconds);

    ensureGMimeInitialised();
    const Figures gmime = measure(corpus, seconds, [](const QByteArray& raw) {
        Owned<GMimeStream> stream(
            g_mime_stream_mem_new_with_buffer(raw.constData(), static_cast<size_t>(raw.size())));
        Owned<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
        Owned<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    });
    const Figures header = measure(corpus, seconds, [](const QByteArray& raw) {
        MCOMessageParser parser(raw);
        (void)parser.header().subject();
    });
    const Figures parts = measure(corpus, seconds, [](const QByteArray& raw) {
        MCOMessageParser parser(raw);
        (void)parser.attachments();
    });

    print("GMime parse", gmime, nullptr);
    print("seam: parse + header", header, &gmime);
    print("seam: + parts decoded", parts, &gmime);
    return 0;
}
