#pragma once

#include "platform/web/messagewebview.h"

#include <memory>

class QWebEngineProfile;
class QWebEngineView;

namespace tessaly {

class FetchSchemeHandler;
class LoadTracker;
class MessagePage;
class MessageRequestInterceptor;
class PageSchemeHandler;
class PartSchemeHandler;

// The message page laid out by QtWebEngine in a 960 by 500 view that is never shown on screen,
// with an off-the-record profile of its own (no disk cache, no cookies kept).
class WebEngineMessageView : public MessageWebView {
    Q_OBJECT

public:
    explicit WebEngineMessageView(QObject* parent = nullptr);
    ~WebEngineMessageView() override;

    void setPartSource(PartSource source) override;
    void setRemoteLoadsAllowed(bool allowed) override;
    void loadHtml(const QString& html) override;
    void stopLoading() override;
    bool isLoading() const override { return m_loading; }
    void bodyInnerHtml(std::function<void(const QString&)> callback) override;
    QSizeF contentsSize() const override;
    qreal frameWidth() const override;
    bool stillDownloadingResources() const override;
    void resetDownloadingStuff() override;
    void printToPdf(const QPageLayout& layout,
                    std::function<void(const QByteArray&)> callback) override;

private:
    QWebEngineProfile* m_profile;
    MessageRequestInterceptor* m_interceptor;
    PageSchemeHandler* m_pages;
    LoadTracker* m_tracker;
    PartSchemeHandler* m_parts;
    FetchSchemeHandler* m_fetches;
    MessagePage* m_page;
    std::unique_ptr<QWebEngineView> m_view;
    QUrl m_currentUrl;
    bool m_loading = false;
    bool m_printing = false;
};

} // namespace tessaly
