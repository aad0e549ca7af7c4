#pragma once

#include "platform/web/messagewebview.h"

#include <QTimer>

namespace tessaly::test {

// A page whose loading, resources, body and printing the test decides.
class FakeWebView : public MessageWebView {
    Q_OBJECT

public:
    using MessageWebView::MessageWebView;

    // What the page "contains" and how printing answers.
    QString body = QString(300, u'x');
    QSizeF contents{960, 1200};
    bool loading = false;
    bool downloading = false;
    QList<QByteArray> printResults; // taken from the front; empty bytes = print failure
    bool printNeverAnswers = false;

    // What the engine did.
    QStringList loadedHtml;
    QList<QPageLayout> printLayouts;
    PartSource partSource;

    void setPartSource(PartSource source) override { partSource = std::move(source); }
    void loadHtml(const QString& html) override {
        loadedHtml.append(html);
        QTimer::singleShot(0, this, [this] { Q_EMIT loadFinished(true); });
    }
    void stopLoading() override {}
    bool isLoading() const override { return loading; }
    void bodyInnerHtml(std::function<void(const QString&)> callback) override {
        QTimer::singleShot(0, this, [this, callback] { callback(body); });
    }
    QSizeF contentsSize() const override { return contents; }
    qreal frameWidth() const override { return kViewWidth; }
    bool stillDownloadingResources() const override { return downloading; }
    void resetDownloadingStuff() override { downloading = false; }
    void printToPdf(const QPageLayout& layout,
                    std::function<void(const QByteArray&)> callback) override {
        printLayouts.append(layout);
        if (printNeverAnswers) {
            return;
        }
        const QByteArray result = printResults.isEmpty() ? QByteArray() : printResults.takeFirst();
        QTimer::singleShot(0, this, [callback, result] { callback(result); });
    }
};

// A real PDF of the given number of pages, large enough to count as sound.
QByteArray makePdf(int pages = 1, int minimumBytes = 9000);
// A PNG of one colour.
QByteArray makePng(QSize size, Qt::GlobalColor color);

} // namespace tessaly::test
