#include "platform/web/qtwebengine/webengineschemes.h"

#include <QBuffer>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

namespace tessaly {

void registerMessageSchemes() {
    QWebEngineUrlScheme page(kPageScheme);
    page.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    page.setFlags(QWebEngineUrlScheme::SecureScheme);
    QWebEngineUrlScheme::registerScheme(page);
    for (const char* name : {kFetchScheme, kCidScheme, kPartScheme}) {
        QWebEngineUrlScheme scheme(name);
        scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
        QWebEngineUrlScheme::registerScheme(scheme);
    }
}

bool isPermittedRemoteResource(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    if (!scheme.startsWith(u"htt")) {
        return false;
    }
    const QString full = url.toString().toLower();
    for (const char* ending : {".jpg", ".jpeg", ".png", ".tiff", ".tif", ".pdf", ".gif"}) {
        if (full.endsWith(QLatin1String(ending))) {
            return true;
        }
    }
    return false;
}

QUrl PageSchemeHandler::publish(const QByteArray& utf8Html) {
    m_html = utf8Html;
    return QUrl(
        QStringLiteral("%1:/message-%2.html").arg(QLatin1String(kPageScheme)).arg(++m_serial));
}

void PageSchemeHandler::requestStarted(QWebEngineUrlRequestJob* job) {
    const QString expected = QStringLiteral("/message-%1.html").arg(m_serial);
    if (job->requestUrl().path() != expected) {
        job->fail(QWebEngineUrlRequestJob::UrlNotFound);
        return;
    }
    auto* buffer = new QBuffer(job);
    buffer->setData(m_html);
    job->reply("text/html;charset=utf-8", buffer);
}

void LoadTracker::track(QObject* job) {
    m_jobs.insert(job);
    connect(job, &QObject::destroyed, this, [this, job] {
        if (m_jobs.remove(job) && m_jobs.isEmpty()) {
            Q_EMIT settled();
        }
    });
}

PartSchemeHandler::PartSchemeHandler(LoadTracker* tracker, QObject* parent)
    : QWebEngineUrlSchemeHandler(parent)
    , m_tracker(tracker) {
}

void PartSchemeHandler::requestStarted(QWebEngineUrlRequestJob* job) {
    if (job->requestUrl().scheme().toLower() == QLatin1String(kCidScheme)) {
        m_tracker->track(job);
    }
    const std::optional<QByteArray> data = m_source ? m_source(job->requestUrl()) : std::nullopt;
    if (!data) {
        job->fail(QWebEngineUrlRequestJob::UrlNotFound);
        return;
    }
    auto* buffer = new QBuffer(job);
    buffer->setData(*data);
    job->reply("application/data", buffer);
}

FetchSchemeHandler::FetchSchemeHandler(LoadTracker* tracker, QObject* parent)
    : QWebEngineUrlSchemeHandler(parent)
    , m_tracker(tracker)
    , m_network(new QNetworkAccessManager(this)) {
    m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    m_network->setCookieJar(nullptr);
}

QUrl FetchSchemeHandler::fetchUrlFor(const QUrl& remote) {
    return QUrl(QLatin1String(kFetchScheme) + u':' +
                QString::fromLatin1(QUrl::toPercentEncoding(remote.toString(QUrl::FullyEncoded))));
}

void FetchSchemeHandler::requestStarted(QWebEngineUrlRequestJob* job) {
    m_tracker->track(job);
    const QUrl remote(QUrl::fromPercentEncoding(job->requestUrl().path().toUtf8()));
    if (!isPermittedRemoteResource(remote)) {
        job->fail(QWebEngineUrlRequestJob::RequestDenied);
        return;
    }
    QNetworkRequest request(remote);
    request.setTransferTimeout(kTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    QNetworkReply* reply = m_network->get(request);
    // The job may be dropped (page closed, next message) before the reply is in. Aborting
    // reports the reply finished at once, while the job is half destroyed: the reply lets go of
    // the job first, so nothing answers a request the page no longer has.
    connect(job, &QObject::destroyed, reply, [reply] {
        reply->disconnect();
        reply->abort();
        reply->deleteLater();
    });
    connect(reply, &QNetworkReply::finished, job, [job, reply] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            job->fail(QWebEngineUrlRequestJob::RequestFailed);
            return;
        }
        QByteArray type = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        if (type.isEmpty()) {
            type = "application/octet-stream";
        }
        auto* buffer = new QBuffer(job);
        buffer->setData(reply->readAll());
        job->reply(type, buffer);
    });
}

void MessageRequestInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info) {
    const QUrl url = info.requestUrl();
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String(kPageScheme) || scheme == QLatin1String(kCidScheme) ||
        scheme == QLatin1String(kPartScheme) || scheme == QLatin1String(kFetchScheme) ||
        scheme == u"data" || scheme == u"about") {
        return;
    }
    const bool image = info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeImage ||
                       info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeObject ||
                       info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeSubResource;
    if (image && isPermittedRemoteResource(url)) {
        info.redirect(FetchSchemeHandler::fetchUrlFor(url));
        return;
    }
    info.block(true);
}

} // namespace tessaly
