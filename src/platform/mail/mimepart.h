#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>
#include <vector>

namespace tessaly {

// What a page shows of a message's own header, as parsed: a date repaired later on the
// parser's MCOMessageHeader does not reach it.
struct MCOMessageEnvelope {
    QString subject;               // decoded; null when absent
    std::optional<QDateTime> date; // UTC; absent when missing or unreadable
    // Each address field as one line, the way the message lists it: names decoded and quoted
    // where needed, groups kept ("Team: a@example.com, b@example.com;"). Empty when the field
    // is absent or lists nobody.
    QString from;
    QString to;
    QString cc;
    QString bcc;
};

// One node of a message's MIME structure, as plain values. Built once per message by
// MCOMessageParser::partTree(); copies are cheap (the data is shared).
struct MCOAbstractPart {
    enum class Kind {
        Single,    // a leaf with content
        Multipart, // multipart/*: children are its parts, in order
        Message,   // an embedded message, or the whole message at the root: its one child is
                   // the body (none when the message has no body)
    };

    Kind kind = Kind::Single;
    QString mimeType;  // lower case "type/subtype"; "text/plain" when the part declares none
    QString charset;   // the content type's charset parameter, trimmed; null when absent
    QString contentID; // without angle brackets; null when absent or empty
    QString filename;  // decoded from RFC 2231 / RFC 2047; null when the part names none (a
                       // part named "" has an empty, non-null name)
    bool attachmentDisposition = false; // Content-Disposition: attachment (any case)
    bool inlineDisposition = false;     // Content-Disposition: inline (any case)
    // The content type's "start" parameter without angle brackets (null when it names nothing);
    // absent when the part has no such parameter. multipart/related names its root with it.
    std::optional<QString> start;
    // The part's position, the same ID MCOAttachment::uniqueID gives its leaves: "2.1" is the
    // first part of the second part; the body of a message that is not multipart is "1" below
    // the message ("1" at the top, "2.1" for an embedded message at "2"), a multipart body
    // shares its message's ID. The root and a top-level multipart body have an empty ID.
    QString uniqueID;
    QByteArray data; // Single: the content with its transfer encoding removed
    // Message: the message's header; absent when the embedded message could not be read.
    std::optional<MCOMessageEnvelope> envelope;
    // Parts nested deeper than kMaxMimeDepth (mimetree.h) are cut: the first level below it
    // keeps its description, but neither content nor parts of its own.
    std::vector<MCOAbstractPart> children;
};

} // namespace tessaly
