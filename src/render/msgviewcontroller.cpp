#include "render/msgviewcontroller.h"

#include "platform/mail/mimetree.h"
#include "platform/pdf/previews.h"
#include "render/mcotemplate.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace tessaly {

namespace {

const QString kMessageStyle =
    QStringLiteral("<style> blockquote { -webkit-margin-before: 0px; -webkit-margin-after: 0px; "
                   "-webkit-margin-start: 0px; -webkit-margin-end: 0px;  } </style>");

QString wrapped(const QString& inner) {
    return QStringLiteral("<div id=\"{{CONTENTID}}\">") + inner + QStringLiteral("</div>");
}

QString buildVersion() {
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral(TESSALY_VERSION) : version;
}

// Parts this small are served as they are rather than as a preview.
constexpr qsizetype kSmallPart = 100;

// Kinds the page shows through a preview made here, though the engine cannot show them itself.
bool isPreviewableDocument(const MCOAttachment& part) {
    static const QStringList types = {QStringLiteral("image/tiff"), QStringLiteral("image/tif"),
                                      QStringLiteral("application/pdf")};
    static const QStringList extensions = {QStringLiteral("tiff"), QStringLiteral("tif"),
                                           QStringLiteral("pdf")};
    if (types.contains(part.mimeType.toLower())) {
        return true;
    }
    const qsizetype dot = part.filename.lastIndexOf(u'.');
    return dot >= 0 && extensions.contains(part.filename.mid(dot + 1).toLower());
}

// The text after the scheme and its colon.
QString resourceSpecifier(const QUrl& url) {
    return url.path(QUrl::FullyDecoded);
}

} // namespace

MCTMsgViewController::MCTMsgViewController(MessageWebView* view, JobOptions options)
    : m_view(view)
    , m_options(std::move(options)) {
    m_view->setPartSource([this](const QUrl& url) { return dataForUrl(url); });
}

QString MCTMsgViewController::convertEntitiesOtherWay(const QString& text) {
    return escapeHtml(text);
}

QString MCTMsgViewController::footerMiniHeaderText() const {
    if (m_options.tinyHeaders && !*m_options.tinyHeaders) {
        return {};
    }
    const QString description = m_message ? m_message->header().description() : QString();
    return QStringLiteral("<p style=\"font-size:4px !important; word-wrap: break-word; \">") +
           convertEntitiesOtherWay(description) + QStringLiteral("<br>") +
           QStringLiteral("Tessaly-Version: %1").arg(buildVersion()) + QStringLiteral("</p>");
}

QString MCTMsgViewController::templateForMessage() {
    QString templ =
        kMessageStyle +
        QStringLiteral("<div style=\"padding-bottom: 20px; font-family: Helvetica; "
                       "font-size: 13px;\">{{HEADER}}</div><div>{{BODY}}___FOOTER___</div>");
    return templ.replace(QStringLiteral("___FOOTER___"), footerMiniHeaderText());
}

QString MCTMsgViewController::attachmentIconBase64() {
    static const QString icon = [] {
        QImage image(128, 128, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath sheet;
        sheet.moveTo(28, 10);
        sheet.lineTo(80, 10);
        sheet.lineTo(100, 30);
        sheet.lineTo(100, 118);
        sheet.lineTo(28, 118);
        sheet.closeSubpath();
        painter.setPen(QPen(QColor(90, 90, 90), 4));
        painter.setBrush(QColor(245, 245, 245));
        painter.drawPath(sheet);
        painter.drawLine(80, 10, 80, 30);
        painter.drawLine(80, 30, 100, 30);
        painter.setPen(QPen(QColor(150, 150, 150), 4));
        for (int y = 50; y <= 100; y += 12) {
            painter.drawLine(40, y, 88, y);
        }
        painter.end();
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return QString::fromLatin1(png.toBase64());
    }();
    return icon;
}

QString MCTMsgViewController::templateForAttachment() {
    return wrapped(QStringLiteral("<div><img src=\"data:image/png;base64,") +
                   attachmentIconBase64() +
                   QStringLiteral("\" width=\"64px\" height=\"64px\"/></div>"
                                  "{{#HASSIZE}}<div>- {{FILENAME}}, {{SIZE}}</div>{{/HASSIZE}}"
                                  "{{#NOSIZE}}<div>- {{FILENAME}}</div>{{/NOSIZE}}"));
}

QString MCTMsgViewController::templateForImage() {
    return wrapped(QStringLiteral("<img src=\"{{URL}}\"/>"));
}

bool MCTMsgViewController::canPreviewPart(const MCOAttachment& part) {
    if (!isPreviewableImage(part.mimeType, part.filename) && !isPreviewableDocument(part)) {
        return false;
    }
    auto made = m_previews.constFind(part.uniqueID);
    if (made == m_previews.cend()) {
        const QByteArray data = part.data.isEmpty() ? m_storage.value(part.uniqueID) : part.data;
        std::optional<QByteArray> preview =
            data.isEmpty() ? std::nullopt : previewForData(data, false);
        // A small part is served unchanged: it must be a picture as it is.
        if (preview && data.size() < kSmallPart && QImage::fromData(data).isNull()) {
            preview.reset();
        }
        made = m_previews.insert(part.uniqueID, std::move(preview));
    }
    return made->has_value();
}

QString MCTMsgViewController::htmlForMessage() const {
    if (!m_message) {
        return {};
    }
    return htmlRenderingWithDelegate(*m_message, const_cast<MCTMsgViewController*>(this));
}

void MCTMsgViewController::setTheMessage(std::shared_ptr<MCOMessageParser> message,
                                         QHash<QString, QByteArray> storedParts) {
    m_view->stopLoading();
    m_view->resetDownloadingStuff();
    m_message = std::move(message);
    m_storage = std::move(storedParts);
    m_previews.clear();
    reload();
}

void MCTMsgViewController::reload() {
    // The view is shared by engines of different jobs: this job's choice holds for this page.
    m_view->setRemoteLoadsAllowed(m_options.remoteImagesAllowed());
    m_view->loadHtml(htmlForMessage());
}

void MCTMsgViewController::shutdown() {
    m_view->stopLoading();
    m_view->resetDownloadingStuff();
    m_message.reset();
    m_storage.clear();
    m_previews.clear();
}

std::optional<QByteArray> MCTMsgViewController::previewForData(const QByteArray& data,
                                                               bool isHTMLInlineImage) {
    if (isHTMLInlineImage || data.size() < kSmallPart) {
        return data;
    }
    QByteArray preview;
    if (data.startsWith("%PDF")) {
        preview = Previews::thumbnailOfPdf(data, QSize(400, 600), Previews::Encoding::Jpeg);
    } else {
        preview = Previews::thumbnailOfImage(data, 600, Previews::Encoding::Jpeg);
    }
    return preview.isEmpty() ? std::nullopt : std::optional(preview);
}

std::optional<QByteArray> MCTMsgViewController::dataForUrl(const QUrl& url) const {
    if (!m_message) {
        return std::nullopt;
    }
    const QString scheme = url.scheme().toLower();
    std::optional<MCOAttachment> part;
    const bool isCid = scheme == u"cid";
    if (isCid) {
        part = m_message->partForContentID(resourceSpecifier(url));
    } else if (scheme == u"x-mailcore-image") {
        part = m_message->partForUniqueID(resourceSpecifier(url).section(u'?', 0, 0));
    }
    if (!part) {
        return std::nullopt;
    }
    if (!isCid) {
        // Made while the page was laid out.
        const auto made = m_previews.constFind(part->uniqueID);
        if (made != m_previews.cend()) {
            return *made;
        }
    }
    const QByteArray data = part->data.isEmpty() ? m_storage.value(part->uniqueID) : part->data;
    if (data.isEmpty()) {
        return std::nullopt;
    }
    return previewForData(data, isCid);
}

} // namespace tessaly
