#pragma once

#include "platform/web/messagewebview.h"

#include <QByteArray>
#include <QHash>
#include <QNetworkAccessManager>
#include <QSet>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineUrlSchemeHandler>

#include <atomic>

namespace tessaly {

inline constexpr char kPageScheme[] = "tessaly-page";
inline constexpr char kFetchScheme[] = "tessaly-fetch";
inline constexpr char kCidScheme[] = "cid";
inline constexpr char kPartScheme[] = "x-mailcore-image";

// Registers the schemes above with the engine; before the QApplication exists.
void registerMessageSchemes();

// Whether a remote URL may load: HTTP(S) URLs of images and PDFs, judged by how they end.
bool isPermittedRemoteResource(const QUrl& url);

// Serves the message pages: setHtml breaks on realistic pages of about a megabyte, and an
// explicit UTF-8 content type wins over any charset the message's HTML claims.
class PageSchemeHandler : public QWebEngineUrlSchemeHandler {
    Q_OBJECT

public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    QUrl publish(const QByteArray& utf8Html);
    void requestStarted(QWebEngineUrlRequestJob* job) override;

private:
    QByteArray m_html;
    int m_serial = 0;
};

// Counts the page's resource requests from start until the engine lets go of them; the engine
// has no per-resource signal of its own.
class LoadTracker : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    void track(QObject* job);
    bool busy() const { return !m_jobs.isEmpty(); }
    void reset() { m_jobs.clear(); }

Q_SIGNALS:
    void settled();

private:
    QSet<QObject*> m_jobs;
};

// Answers "cid:" and "x-mailcore-image:" with the message's part bytes.
class PartSchemeHandler : public QWebEngineUrlSchemeHandler {
    Q_OBJECT

public:
    PartSchemeHandler(LoadTracker* tracker, QObject* parent);
    void setSource(PartSource source) { m_source = std::move(source); }
    void requestStarted(QWebEngineUrlRequestJob* job) override;

private:
    LoadTracker* m_tracker;
    PartSource m_source;
};

// Downloads a permitted remote image or PDF with a hard 8.4 s limit per request; the engine
// offers no per-request time-out of its own.
class FetchSchemeHandler : public QWebEngineUrlSchemeHandler {
    Q_OBJECT

public:
    static constexpr int kTimeoutMs = 8400;
    static constexpr qint64 kMaxReplyBytes = 25 << 20;
    static constexpr int kMaxRedirects = 5;
    FetchSchemeHandler(LoadTracker* tracker, QObject* parent);
    // When off, every request is refused without touching the network.
    void setRemoteLoadsAllowed(bool allowed) { m_allowed = allowed; }
    void requestStarted(QWebEngineUrlRequestJob* job) override;
    static QUrl fetchUrlFor(const QUrl& remote);

private:
    LoadTracker* m_tracker;
    QNetworkAccessManager* m_network;
    bool m_allowed = true;
};

// Lets the page's own schemes through, sends permitted remote images through the fetch scheme
// and refuses everything else (scripts, style sheets, frames, fonts, local files). With remote
// loads switched off, every HTTP(S) and fetch request is refused too.
class MessageRequestInterceptor : public QWebEngineUrlRequestInterceptor {
    Q_OBJECT

public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void setRemoteLoadsAllowed(bool allowed) { m_allowed = allowed; }
    void interceptRequest(QWebEngineUrlRequestInfo& info) override;

private:
    // Set from the page's thread; read wherever the engine intercepts.
    std::atomic<bool> m_allowed{true};
};

} // namespace tessaly
