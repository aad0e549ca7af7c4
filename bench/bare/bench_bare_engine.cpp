// The baseline for bench_archive: QtWebEngine with nothing of ours around it. Loads each HTML
// file of a list into one page, prints it to a PDF as soon as the page has loaded, and goes on
// with the next; exits when the list is done.
//
//   bench_bare_engine LIST OUT     LIST: one HTML file per line; writes OUT/0.pdf, OUT/1.pdf, ...
//
// Prints "bare: N files, N PDFs, N failed" on stdout; the exit status is 1 when something failed.

#include <QApplication>
#include <QFile>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>

#include <cstdio>
#include <unistd.h>

namespace {

// Stays on the file it was given: a <meta refresh> or a link in a message would otherwise load
// another page and finish a second time.
class BarePage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

    void loadOnly(const QUrl& url) {
        m_expected = url;
        load(url);
    }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
        return !isMainFrame || url == m_expected;
    }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int,
                                  const QString&) override {}

private:
    QUrl m_expected;
};

// Only the local page and data: URLs load. A message's remote images would otherwise make the
// baseline wait on the network (which a test machine may not have): the baseline is the
// engine's own layout and printing, nothing else.
class LocalOnly : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        const QString scheme = info.requestUrl().scheme();
        info.block(scheme != u"file" && scheme != u"data");
    }
};

class Printer {
public:
    Printer(QStringList files, QString out)
        : m_files(std::move(files))
        , m_out(std::move(out)) {
        m_page.profile()->setUrlRequestInterceptor(&m_localOnly);
        m_page.settings()->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
        QObject::connect(&m_page, &QWebEnginePage::loadFinished, [this](bool) { print(); });
    }

    void start() { next(); }
    int made() const { return m_made; }
    int failed() const { return m_failed; }

private:
    void next() {
        if (m_index >= m_files.size()) {
            QApplication::quit();
            return;
        }
        m_loading = true;
        m_page.loadOnly(QUrl::fromLocalFile(m_files[m_index]));
    }

    void print() {
        if (!m_loading) {
            return;
        }
        m_loading = false;
        const QPageLayout layout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                 QMarginsF(36, 36, 36, 36), QPageLayout::Point);
        m_page.printToPdf([this](const QByteArray& pdf) { save(pdf); }, layout);
    }

    void save(const QByteArray& pdf) {
        QFile file(QStringLiteral("%1/%2.pdf").arg(m_out).arg(m_index));
        const bool written = !pdf.isEmpty() && file.open(QIODevice::WriteOnly) &&
                             file.write(pdf) == pdf.size() && file.flush();
        if (written) {
            ++m_made;
        } else {
            ++m_failed;
            std::fprintf(stderr, "no PDF for %s\n", qPrintable(m_files[m_index]));
        }
        ++m_index;
        next();
    }

    QStringList m_files;
    QString m_out;
    LocalOnly m_localOnly;
    BarePage m_page;
    qsizetype m_index = 0;
    bool m_loading = false;
    int m_made = 0;
    int m_failed = 0;
};

QStringList readList(const QString& path) {
    QFile list(path);
    if (!list.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(list.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (::geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1"); // Chromium's sandbox refuses to run as root
    }
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: bench_bare_engine LIST OUT\n");
        return 2;
    }
    const QStringList files = readList(args[1]);
    Printer printer(files, args[2]);
    printer.start();
    if (!files.isEmpty()) {
        app.exec();
    }
    std::printf("bare: %lld files, %d PDFs, %d failed\n", static_cast<long long>(files.size()),
                printer.made(), printer.failed());
    return printer.failed() == 0 ? 0 : 1;
}
