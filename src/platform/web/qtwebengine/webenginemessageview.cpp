#include "platform/web/qtwebengine/webenginemessageview.h"

#include "platform/web/qtwebengine/webengineschemes.h"

#include <QTimer>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineView>

namespace tessaly {

// Refuses every navigation but the one to the page just published, so a <meta refresh>, a
// link or a form in the message can never take the view elsewhere.
class MessagePage : public QWebEnginePage {
public:
    MessagePage(QWebEngineProfile* profile, QObject* parent)
        : QWebEnginePage(profile, parent) {}

    void expect(const QUrl& url) { m_expected = url; }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame) override {
        if (isMainFrame && url == m_expected) {
            m_expected = QUrl();
            return true;
        }
        return false;
    }
    QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int,
                                  const QString&) override {}

private:
    QUrl m_expected;
};

namespace {
// A print whose layout has no width, or that overlaps another, never calls back.
constexpr int kPrintGuardMs = 120'000;
} // namespace

WebEngineMessageView::WebEngineMessageView(QObject* parent)
    : MessageWebView(parent)
    , m_profile(new QWebEngineProfile(this)) {
    m_profile->setHttpCacheType(QWebEngineProfile::NoCache);
    m_profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    m_profile->setSpellCheckEnabled(false);

    m_interceptor = new MessageRequestInterceptor(this);
    m_profile->setUrlRequestInterceptor(m_interceptor);
    m_tracker = new LoadTracker(this);
    m_pages = new PageSchemeHandler(this);
    m_parts = new PartSchemeHandler(m_tracker, this);
    m_fetches = new FetchSchemeHandler(m_tracker, this);
    m_profile->installUrlSchemeHandler(kPageScheme, m_pages);
    m_profile->installUrlSchemeHandler(kCidScheme, m_parts);
    m_profile->installUrlSchemeHandler(kPartScheme, m_parts);
    m_profile->installUrlSchemeHandler(kFetchScheme, m_fetches);

    m_page = new MessagePage(m_profile, this);
    QWebEngineSettings* settings = m_page->settings();
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    settings->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    settings->setAttribute(QWebEngineSettings::LocalStorageEnabled, false);
    settings->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    settings->setAttribute(QWebEngineSettings::PrintElementBackgrounds, true);
    settings->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
    settings->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);

    m_view = std::make_unique<QWebEngineView>();
    m_view->setPage(m_page);
    m_view->setAttribute(Qt::WA_DontShowOnScreen);
    m_view->resize(kViewWidth, kViewHeight);
    m_view->show();

    // Only the load of the page last published counts: a stopped earlier load reports its end
    // late, and taking that for the new page would print the wrong document.
    connect(m_page, &QWebEnginePage::loadingChanged, this,
            [this](const QWebEngineLoadingInfo& info) {
                if (info.url() != m_currentUrl ||
                    info.status() == QWebEngineLoadingInfo::LoadStartedStatus) {
                    return;
                }
                m_loading = false;
                Q_EMIT loadFinished(info.status() == QWebEngineLoadingInfo::LoadSucceededStatus);
            });
    connect(m_tracker, &LoadTracker::settled, this, &MessageWebView::resourceLoadsSettled);
}

WebEngineMessageView::~WebEngineMessageView() {
    // The page must go before its profile.
    m_view.reset();
    delete m_page;
}

void WebEngineMessageView::setPartSource(PartSource source) {
    m_parts->setSource(std::move(source));
}

void WebEngineMessageView::setRemoteLoadsAllowed(bool allowed) {
    MessageWebView::setRemoteLoadsAllowed(allowed);
    m_interceptor->setRemoteLoadsAllowed(allowed);
    m_fetches->setRemoteLoadsAllowed(allowed);
}

void WebEngineMessageView::loadHtml(const QString& html) {
    const QUrl url = m_pages->publish(html.left(kMaxHtmlLength).toUtf8());
    m_page->expect(url);
    m_currentUrl = url;
    m_loading = true;
    m_page->load(url);
}

void WebEngineMessageView::stopLoading() {
    m_page->triggerAction(QWebEnginePage::Stop);
}

void WebEngineMessageView::bodyInnerHtml(std::function<void(const QString&)> callback) {
    m_page->runJavaScript(
        QStringLiteral("document.body ? document.body.innerHTML : ''"),
        QWebEngineScript::ApplicationWorld,
        [callback = std::move(callback)](const QVariant& result) { callback(result.toString()); });
}

QSizeF WebEngineMessageView::contentsSize() const {
    return m_page->contentsSize();
}

qreal WebEngineMessageView::frameWidth() const {
    return m_view->width();
}

bool WebEngineMessageView::stillDownloadingResources() const {
    return m_tracker->busy();
}

void WebEngineMessageView::resetDownloadingStuff() {
    m_tracker->reset();
}

void WebEngineMessageView::printToPdf(const QPageLayout& layout,
                                      std::function<void(const QByteArray&)> callback) {
    if (m_printing) {
        callback({});
        return;
    }
    m_printing = true;
    auto done = std::make_shared<bool>(false);
    auto finish = [this, done, callback](const QByteArray& pdf) {
        if (*done) {
            return;
        }
        *done = true;
        m_printing = false;
        callback(pdf);
    };
    QTimer::singleShot(kPrintGuardMs, this, [finish] { finish({}); });
    m_page->printToPdf([finish](const QByteArray& pdf) { finish(pdf); }, layout);
}

} // namespace tessaly
