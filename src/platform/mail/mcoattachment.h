#pragma once

#include <QByteArray>
#include <QString>

namespace tessaly {

// A decoded MIME leaf part that is not shown as the message's text.
struct MCOAttachment {
    QString filename;  // decoded from RFC 2231 / RFC 2047; null when the part has none
    QString mimeType;  // lower case, "type/subtype"
    QByteArray data;   // content with its transfer encoding removed
    QString uniqueID;  // stable within one message: the part's position, e.g. "2.1"
    QString contentID; // without angle brackets; null when absent
    QString charset;   // declared charset of a text part; null when absent
    bool inlineDisposition = false;
};

} // namespace tessaly
