#include "fakewebview.h"
#include "platform/web/qtwebengine/webenginemessageview.h"
#include "platform/web/qtwebengine/webengineprocess.h"
#include "platform/web/qtwebengine/webengineschemes.h"
#include "render/localrenderengine.h"
#include "testsupport.h"

#include <QApplication>
#include <QBuffer>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPdfDocument>
#include <QPdfSelection>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace tessaly;

namespace {

// Records every request the page makes of it and answers /pic.png with an image, and
// /late.png with the same image three seconds later.
class RecordingHttpServer : public QObject {
public:
    QStringList paths;

    RecordingHttpServer() {
        QImage image(40, 30, QImage::Format_RGB32);
        image.fill(Qt::red);
        QBuffer buffer(&m_png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    const QByteArray request = socket->readAll();
                    const QByteArray path = request.split(' ').value(1);
                    paths.append(QString::fromLatin1(path));
                    const bool png = path == "/pic.png" || path == "/late.png";
                    const QByteArray body = png ? m_png : QByteArray("not here");
                    const QByteArray reply =
                        (png ? "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n"
                             : "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n") +
                        QByteArray("Content-Length: ") + QByteArray::number(body.size()) +
                        "\r\nConnection: close\r\n\r\n" + body;
                    if (path == "/redirect.png") { // to something that is no image
                        socket->write("HTTP/1.1 302 Found\r\nLocation: /page.html\r\n"
                                      "Content-Length: 0\r\nConnection: close\r\n\r\n");
                        socket->disconnectFromHost();
                        return;
                    }
                    if (path == "/trickle.png") {
                        // A header, then a byte now and then: the download never ends by itself.
                        socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n"
                                      "Content-Length: 1000000\r\n\r\n");
                        auto* drip = new QTimer(socket);
                        connect(drip, &QTimer::timeout, socket, [socket] { socket->write("x"); });
                        drip->start(100);
                        return;
                    }
                    QTimer::singleShot(path == "/late.png" ? 3000 : 0, socket, [socket, reply] {
                        socket->write(reply);
                        socket->disconnectFromHost();
                    });
                });
            }
        });
    }
    QString base() const {
        return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
    }

private:
    QTcpServer m_server;
    QByteArray m_png;
};

QString pdfText(const QString& path) {
    QPdfDocument document;
    document.load(path);
    QString text;
    for (int page = 0; page < document.pageCount(); ++page) {
        text += document.getAllText(page).text();
    }
    return text;
}

int pdfImageCount(const QString& path) {
    QProcess pdfimages;
    pdfimages.start(QStringLiteral("pdfimages"), {QStringLiteral("-list"), path});
    if (!pdfimages.waitForFinished(30000) || pdfimages.exitCode() != 0) {
        return -1;
    }
    return static_cast<int>(pdfimages.readAllStandardOutput().split('\n').size()) - 3;
}

} // namespace

class TestWebRender : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void remoteResourcesAreFiltered();
    void lateImageIsWaitedFor();
    void droppedDownloadIsNeverAnswered();
    void remoteTricksAreRefused();
    void remoteLoadsSwitchedOff();
    void wronglyDeclaredCharsetAndInlineImage();
    void corpusSample();

private:
    MessageToHTMLToPDF::Outcome render(const QByteArray& raw, QString* pdf = nullptr,
                                       std::optional<bool> loadRemoteImages = std::nullopt);
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<WebEngineMessageView> m_view;
};

void TestWebRender::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_view) {
        m_view = std::make_unique<WebEngineMessageView>();
    }
}

MessageToHTMLToPDF::Outcome TestWebRender::render(const QByteArray& raw, QString* pdf,
                                                  std::optional<bool> loadRemoteImages) {
    JobOptions options;
    options.loadRemoteImages = loadRemoteImages;
    options.destFolder = m_dir->path();
    options.pdfFormat = QStringLiteral("__subject__.pdf");
    options.attachmentFormat = QStringLiteral("__subject__ (attachments)/__filename__");
    options.emlFormat = QStringLiteral("none");
    LocalRenderEngine engine(options, m_view.get());
    if (!engine.startRender(MCOMessageParser::messageParserWithData(raw), {}, {}, false, {}, {})) {
        return MessageToHTMLToPDF::Outcome::None;
    }
    QDeadlineTimer deadline(120000);
    while (engine.busyDoingSomething() && !deadline.hasExpired()) {
        QTest::qWait(20);
    }
    if (pdf) {
        *pdf = engine.lastPdfPath();
    }
    return engine.lastOutcome();
}

void TestWebRender::remoteResourcesAreFiltered() {
    RecordingHttpServer server;
    const QByteArray base = server.base().toLatin1();
    const QByteArray raw =
        test::crlfMessage("From: a@example.com\nSubject: remote\nContent-Type: text/html\n\n"
                          "<html><head><script src=\"" +
                          base +
                          "/evil.js\"></script>"
                          "<link rel=\"stylesheet\" href=\"" +
                          base +
                          "/style.css\"></head><body>"
                          "<p>" +
                          QByteArray(400, 'w') +
                          "</p>"
                          "<iframe src=\"" +
                          base +
                          "/frame.html\"></iframe>"
                          "<img src=\"" +
                          base +
                          "/pic.png\">"
                          "<img src=\"" +
                          base +
                          "/tracker.gif?id=1\">"
                          "</body></html>\n");
    QString pdf;
    QCOMPARE(render(raw, &pdf), MessageToHTMLToPDF::Outcome::Made);
    // The extension rule reads the path: an image with a query loads like any image.
    QStringList paths = server.paths;
    paths.sort();
    QCOMPARE(paths, (QStringList{"/pic.png", "/tracker.gif?id=1"}));
    const int images = pdfImageCount(pdf);
    if (images >= 0) {
        QVERIFY(images >= 1);
    }
}

void TestWebRender::lateImageIsWaitedFor() {
    // The page is printed when it is ready, not on a timer: an image that takes three seconds
    // still makes it into the PDF.
    RecordingHttpServer server;
    const QByteArray raw = test::crlfMessage(
        "From: a@example.com\nSubject: late\nContent-Type: text/html\n\n<html><body><p>" +
        QByteArray(400, 'w') + "</p><img src=\"" + server.base().toLatin1() +
        "/late.png\"></body></html>\n");
    QString pdf;
    QCOMPARE(render(raw, &pdf), MessageToHTMLToPDF::Outcome::Made);
    QCOMPARE(server.paths, QStringList{QStringLiteral("/late.png")});
    const int images = pdfImageCount(pdf);
    if (images < 0) {
        QSKIP("pdfimages is not installed");
    }
    QVERIFY(images >= 1);
}

void TestWebRender::droppedDownloadIsNeverAnswered() {
    // A page whose image trickles in is replaced by the next one: the engine drops the image's
    // request, and the download ending then must not answer the request it no longer has.
    RecordingHttpServer server;
    m_view->loadHtml("<html><body><img src=\"" + server.base() + "/trickle.png\"></body></html>");
    QTRY_VERIFY_WITH_TIMEOUT(server.paths.contains("/trickle.png"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_view->stillDownloadingResources(), 10000);
    m_view->loadHtml("<html><body><p>next</p></body></html>");
    QTRY_VERIFY_WITH_TIMEOUT(!m_view->isLoading(), 10000);
    QTest::qWait(500); // the aborted download ends in here
    QString body;
    m_view->bodyInnerHtml([&body](const QString& html) { body = html; });
    QTRY_COMPARE(body, QStringLiteral("<p>next</p>"));
}

void TestWebRender::remoteTricksAreRefused() {
    // An image extension in a query or fragment, a style sheet named like an image, our own
    // fetch scheme named in the message, a redirect to a page: none of them loads. An image
    // that trickles in forever is cut off from its request.
    RecordingHttpServer server;
    const QString base = server.base();
    const QString fetchStyle =
        FetchSchemeHandler::fetchUrlFor(QUrl(base + "/fetched-style.png")).toString();
    m_view->loadHtml("<html><head><link rel=\"stylesheet\" href=\"" + base +
                     "/style.png\"><link rel=\"stylesheet\" href=\"" + fetchStyle +
                     "\"></head><body><img src=\"" + base + "/track?u=me&x=.png\"><img src=\"" +
                     base + "/t#.gif\"><img src=\"" + base + "/redirect.png\"><img src=\"" + base +
                     "/trickle.png\"></body></html>");
    QTRY_VERIFY_WITH_TIMEOUT(server.paths.contains("/trickle.png"), 10000);
    // Cut at 8.4 s from the request, though a byte arrives every 100 ms.
    QTRY_VERIFY_WITH_TIMEOUT(!m_view->stillDownloadingResources(), 20000);
    QStringList paths = server.paths;
    paths.sort();
    QCOMPARE(paths, (QStringList{"/redirect.png", "/trickle.png"}));
}

void TestWebRender::remoteLoadsSwitchedOff() {
    // With the job's switch off nothing is asked of the network, not even through our own fetch
    // scheme named in the message, and the page is printed all the same.
    RecordingHttpServer server;
    const QByteArray base = server.base().toLatin1();
    const auto message = [&](const QByteArray& subject) {
        const QByteArray fetched =
            FetchSchemeHandler::fetchUrlFor(
                QUrl(server.base() + "/fetched-" + QString::fromLatin1(subject) + ".png"))
                .toEncoded();
        return test::crlfMessage("From: a@example.com\nSubject: " + subject +
                                 "\nContent-Type: text/html\n\n<html><body><p>Remote " + subject +
                                 " " + QByteArray(400, 'w') + "</p><img src=\"" + base + "/pic-" +
                                 subject + ".png\"><img src=\"" + base + "/late-" + subject +
                                 ".png\"><img src=\"" + fetched + "\"></body></html>\n");
    };
    const auto askedFor = [&server](const QString& subject) {
        return server.paths.filter("-" + subject + ".png");
    };
    QString pdf;
    QCOMPARE(render(message("off"), &pdf, false), MessageToHTMLToPDF::Outcome::Made);
    QVERIFY(pdfText(pdf).contains(QStringLiteral("Remote off")));

    // The view is shared: the next job, which allows remote images, loads them again. Its
    // requests come after any the first page would have sent after all.
    QCOMPARE(render(message("on"), &pdf, true), MessageToHTMLToPDF::Outcome::Made);
    QVERIFY(askedFor("on").size() >= 2);
    QCOMPARE(askedFor("off"), QStringList{});
    QCOMPARE(render(message("off-again"), &pdf, false), MessageToHTMLToPDF::Outcome::Made);
    QCOMPARE(render(message("on-again"), &pdf, true), MessageToHTMLToPDF::Outcome::Made);
    QVERIFY(askedFor("on-again").size() >= 2);
    QCOMPARE(askedFor("off-again"), QStringList{});
}

void TestWebRender::wronglyDeclaredCharsetAndInlineImage() {
    const QByteArray png = test::makePng({50, 50}, Qt::blue);
    const QByteArray raw = test::crlfMessage(
        "From: Ann <ann@example.com>\nTo: bob@example.com\nSubject: charset\n"
        "Content-Type: multipart/related; boundary=r\n\n"
        "--r\nContent-Type: text/html; charset=iso-8859-1\n\n"
        "<html><head><meta charset=\"windows-1252\"></head><body><p>Gr\xc3\xbc\xc3\x9f"
        "e aus M\xc3\xbc"
        "nchen "
        "\xe6\xbc\xa2\xe5\xad\x97</p><p>" +
        QByteArray(300, 'x') +
        "</p><img src=\"cid:pic@x\"></body></html>\n"
        "--r\nContent-Type: image/png\nContent-ID: <pic@x>\nContent-Transfer-Encoding: base64\n\n" +
        png.toBase64() + "\n--r--\n");
    QString pdf;
    QCOMPARE(render(raw, &pdf), MessageToHTMLToPDF::Outcome::Made);
    const QString text = pdfText(pdf);
    QVERIFY2(text.contains(QStringLiteral("Grüße aus München")), qPrintable(text.left(300)));
    QVERIFY(text.contains(QStringLiteral("ann@example.com"))); // the header block is text
    const int images = pdfImageCount(pdf);
    if (images < 0) {
        QSKIP("pdfimages is not installed");
    }
    QVERIFY(images >= 1);
}

void TestWebRender::corpusSample() {
    const QString corpus = test::sharedCorpusDir();
    if (corpus.isEmpty()) {
        QSKIP("the shared corpus is not beside the repository");
    }
    const QStringList sample = {
        "eml/thunderbird-mailnews-05-HTML+embedded-image.eml",
        "eml/mimekit-messages-japanese.eml",
        "eml/flanker-torture.eml",
        "eml/mailparser-htmllargecallstack.eml",
        "eml/rubymail-multi_charset-japanese_iso_2022.eml",
    };
    int made = 0;
    for (const QString& name : sample) {
        QFile file(corpus + u'/' + name);
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        QString pdf;
        const auto outcome = render(file.readAll(), &pdf);
        QVERIFY2(outcome == MessageToHTMLToPDF::Outcome::Made ||
                     outcome == MessageToHTMLToPDF::Outcome::Failed,
                 qPrintable(name));
        made += outcome == MessageToHTMLToPDF::Outcome::Made ? 1 : 0;
    }
    qInfo("%d corpus messages made", made);
    QVERIFY(made >= 1);
}

int main(int argc, char* argv[]) {
    prepareWebEngineProcess(true);
    QApplication app(argc, argv);
    TestWebRender test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_webrender.moc"
