#pragma once

#include "platform/mail/mcoattachment.h"

#include <QString>

namespace tessaly {

class MCOMessageParser;

// What the HTML rendering asks of its caller. Every answer has a default; an empty template
// means "use the built-in one".
class MCOHTMLRendererDelegate {
public:
    virtual ~MCOHTMLRendererDelegate() = default;
    // Whether a part is shown through the image template (its "x-mailcore-image:" URL will be
    // answered with a picture) rather than the attachment template. By default, images of the
    // types a page shows; a delegate that serves previews also answers for other kinds, and
    // says no for a part whose picture cannot be made.
    virtual bool canPreviewPart(const MCOAttachment& part);
    virtual QString templateForMessage() { return {}; }
    virtual QString templateForMainHeader() { return {}; }
    virtual QString templateForImage() { return {}; }
    virtual QString templateForAttachment() { return {}; }
    virtual QString templateForEmbeddedMessage() { return {}; }
    virtual QString templateForEmbeddedMessageHeader() { return {}; }
    virtual QString templateForAttachmentSeparator() { return {}; }
};

// Lays a parsed message out as one HTML page, as a mail reader shows it: header block, the
// richest alternative of the body, related parts resolved through "cid:" URLs, inline images
// and previews through "x-mailcore-image:<uniqueID>" URLs, other parts through the attachment
// template, and embedded messages with their own header. Text is always Unicode; plain text
// keeps its line breaks and shows quoted lines as block quotes.
QString htmlRenderingWithDelegate(const MCOMessageParser& message,
                                  MCOHTMLRendererDelegate* delegate);

// Plain text to HTML.
QString plainTextToHtml(const QString& text);

} // namespace tessaly
