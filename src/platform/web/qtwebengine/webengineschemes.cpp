#include "platform/web/qtwebengine/webengineschemes.h"

#include <QBuffer>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
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
    if (scheme != u"http" && scheme != u"https") {
        return false;
    }
    // The path decides, not a query or fragment the sender appends ("...?x=.png").
    const QString path = url.path().toLower();
    for (const char* ending : {".jpg", ".jpeg", ".png", ".tiff", ".tif", ".pdf", ".gif"}) {
        if (path.endsWith(QLatin1String(ending))) {
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
    if (!m_allowed || !isPermittedRemoteResource(remote)) {
        job->fail(QWebEngineUrlRequestJob::RequestDenied);
        return;
    }
    QNetworkRequest request(remote);
    // Every redirect target must pass the same rule, and there are few of them.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
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
    connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& target) {
        if (isPermittedRemoteResource(target)) {
            Q_EMIT reply->redirectAllowed();
        } else {
            reply->abort();
        }
    });
    // The limits count from the request, however slowly the data trickles in.
    QTimer::singleShot(kTimeoutMs, reply, &QNetworkReply::abort);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > kMaxReplyBytes || total > kMaxReplyBytes) {
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, job, [job, reply] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            job->fail(QWebEngineUrlRequestJob::RequestFailed);
            return;
        }
        const QByteArray type =
            reply->header(QNetworkRequest::ContentTypeHeader).toByteArray().trimmed().toLower();
        if (!type.startsWith("image/") && !type.startsWith("application/pdf")) {
            job->fail(QWebEngineUrlRequestJob::RequestDenied); // not what the page may show
            return;
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
        scheme == QLatin1String(kPartScheme) || scheme == u"data" || scheme == u"about") {
        return;
    }
    // Only images and embedded PDFs may come from elsewhere: a style sheet, font, script,
    // frame or media file never loads, whatever its URL ends with, nor through our own fetch
    // scheme named in the message.
    const bool image = info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeImage ||
                       info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeObject;
    const bool allowed = m_allowed.load();
    if (scheme == QLatin1String(kFetchScheme)) {
        info.block(!image || !allowed);
        return;
    }
    if (allowed && image && isPermittedRemoteResource(url)) {
        info.redirect(FetchSchemeHandler::fetchUrlFor(url));
        return;
    }
    info.block(true);
}

} // namespace tessaly
