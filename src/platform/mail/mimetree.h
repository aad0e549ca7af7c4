#pragma once

#include "platform/mail/mcoattachment.h"

#include <QString>

#include <vector>

typedef struct _GMimeObject GMimeObject;
typedef struct _GMimeMessage GMimeMessage;
typedef struct _GMimeMultipart GMimeMultipart;
typedef struct _GMimePart GMimePart;

namespace tessaly {

// How a reader presents a MIME leaf: as the message's text, inside the page (resources of
// multipart/related, images not marked as attachments) or as an attachment.
struct MimeLeaf {
    enum class Role { Body, Inline, Attachment };
    Role role = Role::Attachment;
    MCOAttachment part;
};

// Deeper trees are cut here; real mail never comes near it, crafted mail does.
inline constexpr int kMaxMimeDepth = 64;

QString mimeTypeOf(GMimeObject* object);
bool isPreviewableImage(const QString& mimeType, const QString& filename);
bool isBodyTextType(const QString& mimeType);

// The alternative a reader shows: the last part it can show, preferring HTML.
GMimeObject* chooseAlternative(GMimeMultipart* alternative);
// The root of multipart/related: the part named by "start", else the first.
GMimeObject* relatedRoot(GMimeMultipart* related);

QByteArray decodedContent(GMimePart* part);

// Every leaf a reader would show or list, in document order, with decoded data.
std::vector<MimeLeaf> collectMimeLeaves(GMimeMessage* message);

} // namespace tessaly
