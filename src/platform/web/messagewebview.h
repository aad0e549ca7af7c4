#pragma once

#include <QByteArray>
#include <QObject>
#include <QPageLayout>
#include <QSizeF>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace tessaly {

// Answers the page's requests for the message's own parts ("cid:" and "x-mailcore-image:"
// URLs) with the bytes to serve, or nothing.
using PartSource = std::function<std::optional<QByteArray>(const QUrl& url)>;

// The off-screen page a message is laid out and printed in. Everything the render engine needs
// of a layout engine is here, so another engine could take QtWebEngine's place. The page never
// runs the message's scripts, never loads plug-ins, local files or remote resources other than
// images and PDFs over HTTP(S) (and those only while remote loads are allowed), and keeps
// nothing on disk.
class MessageWebView : public QObject {
    Q_OBJECT

public:
    static constexpr int kViewWidth = 960;
    static constexpr int kViewHeight = 500;
    // Longest page the engine is given, in characters.
    static constexpr qsizetype kMaxHtmlLength = 5'000'000;

    using QObject::QObject;

    virtual void setPartSource(PartSource source) = 0;
    // Whether the page may load remote images and PDFs at all; when off, no request leaves the
    // machine and the page lays out without them. Applies to requests made from now on.
    virtual void setRemoteLoadsAllowed(bool allowed) { m_remoteLoadsAllowed = allowed; }
    bool remoteLoadsAllowed() const { return m_remoteLoadsAllowed; }
    // Loads the page; HTML beyond kMaxHtmlLength is cut. The text is always read as UTF-8.
    virtual void loadHtml(const QString& html) = 0;
    virtual void stopLoading() = 0;
    virtual bool isLoading() const = 0;
    // The page's document.body.innerHTML, read in a world the page's own scripts cannot reach.
    virtual void bodyInnerHtml(std::function<void(const QString&)> callback) = 0;
    // The laid-out document's size, and the width of the view showing it, in CSS pixels.
    virtual QSizeF contentsSize() const = 0;
    virtual qreal frameWidth() const = 0;
    // Whether a resource the page asked for (a part, a remote image) is still being answered.
    virtual bool stillDownloadingResources() const = 0;
    virtual void resetDownloadingStuff() = 0;
    // Prints the page; the callback gets the PDF, or empty bytes when printing failed.
    virtual void printToPdf(const QPageLayout& layout,
                            std::function<void(const QByteArray&)> callback) = 0;

Q_SIGNALS:
    // The page last asked for has finished loading (or failed to); never for an earlier one.
    void loadFinished(bool ok);
    // Every resource the page asked for has been answered or dropped.
    void resourceLoadsSettled();

private:
    bool m_remoteLoadsAllowed = true;
};

} // namespace tessaly
