#pragma once

#include "platform/mail/mcoattachment.h"
#include "platform/mail/mimepart.h"

#include <QString>

#include <vector>

namespace tessaly {

// How a reader presents a MIME leaf: as the message's text, inside the page (resources of
// multipart/related, images not marked as attachments) or as an attachment.
struct MimeLeaf {
    enum class Role { Body, Inline, Attachment };
    Role role = Role::Attachment;
    MCOAttachment part;
};

// Deeper trees are cut here; real mail never comes near it, crafted mail does. A message's
// body has depth 0; the parts of a multipart and the body of an embedded message are one
// deeper than their parent.
inline constexpr int kMaxMimeDepth = 64;

bool isPreviewableImage(const QString& mimeType, const QString& filename);
bool isBodyTextType(const QString& mimeType);

// The alternative a reader shows of a multipart/alternative: the last part it can show,
// preferring HTML. Null only when there is no part at all.
const MCOAbstractPart* chooseAlternative(const MCOAbstractPart& alternative);
// The root of a multipart/related: the part named by "start", else the first; null when there
// is no part at all.
const MCOAbstractPart* relatedRoot(const MCOAbstractPart& related);

// A leaf as an MCOAttachment (the same values, under the same unique ID).
MCOAttachment attachmentOf(const MCOAbstractPart& leaf);

// Every leaf a reader would show or list, in document order, with decoded data. `message` is a
// part of kind Message, such as MCOMessageParser::partTree().
std::vector<MimeLeaf> collectMimeLeaves(const MCOAbstractPart& message);

} // namespace tessaly
