#pragma once

#include "platform/mail/mcomessageparser.h"
#include "platform/web/messagewebview.h"
#include "render/joboptions.h"
#include "render/mcohtmlrenderer.h"

#include <QHash>

#include <memory>

namespace tessaly {

// Lays a message out in the web view: supplies the page templates (header block, attachment
// icons, the tiny-header footer) and answers the page's requests for the message's parts, with
// previews for attachments that can be shown as pictures. A preview is made while the page is
// laid out, so a part whose picture cannot be made (a damaged PDF or image) is shown as an
// attachment, never as a broken image.
class MCTMsgViewController : public MCOHTMLRendererDelegate {
public:
    MCTMsgViewController(MessageWebView* view, JobOptions options);

    // Lays out and loads the message. `storedParts` holds data for parts that have none of
    // their own (previews of a mail client's separately stored attachments), by unique ID.
    void setTheMessage(std::shared_ptr<MCOMessageParser> message,
                       QHash<QString, QByteArray> storedParts = {});
    std::shared_ptr<MCOMessageParser> getTheMessage() const { return m_message; }
    void reload();
    void shutdown();

    QString htmlForMessage() const;
    QString footerMiniHeaderText() const;

    // What a "cid:" or "x-mailcore-image:" URL of the current message is answered with.
    std::optional<QByteArray> dataForUrl(const QUrl& url) const;
    static std::optional<QByteArray> previewForData(const QByteArray& data, bool isHTMLInlineImage);

    // MCOHTMLRendererDelegate. Images, PDFs and TIFFs whose preview can be made; the preview is
    // kept for the page's request.
    bool canPreviewPart(const MCOAttachment& part) override;
    QString templateForMessage() override;
    QString templateForAttachment() override;
    QString templateForImage() override;

    static QString convertEntitiesOtherWay(const QString& text);
    static QString attachmentIconBase64();

private:
    MessageWebView* m_view;
    JobOptions m_options;
    std::shared_ptr<MCOMessageParser> m_message;
    QHash<QString, QByteArray> m_storage;
    // Previews made while laying out the current message, by unique ID; nothing for a part
    // whose preview could not be made.
    QHash<QString, std::optional<QByteArray>> m_previews;
};

} // namespace tessaly
