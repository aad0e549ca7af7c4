#pragma once

#include <QByteArrayView>
#include <QString>

namespace tessaly {

// Header bytes that arrive without a declared charset: valid UTF-8 is read as UTF-8, anything
// else as Windows-1252, the charset such mailers almost always meant.
QString decodeUnlabelledBytes(QByteArrayView bytes);

bool isValidUtf8(QByteArrayView bytes);

QString decodeWindows1252(QByteArrayView bytes);

// Joins folded header lines into one line and trims the ends.
QByteArray unfoldHeaderValue(QByteArrayView raw);

// The text of a MIME text part as Unicode. Mail often declares the wrong charset: bytes that
// are valid UTF-8 with non-ASCII content are read as UTF-8 whatever the label says, except for
// charsets that are not ASCII-compatible (UTF-16, ISO-2022-*, UTF-7), which are always honoured.
// Without a usable label, an HTML part's own <meta> charset is tried; the last resort is
// Windows-1252, which decodes every byte.
QString decodeTextPart(const QByteArray& bytes, const QString& declaredCharset, bool isHtml);

// The charset named by a <meta charset> or <meta http-equiv="Content-Type"> in the first part
// of an HTML document, or empty.
QString htmlMetaCharset(const QByteArray& html);

// text/enriched (RFC 1896) as HTML: formatting commands become HTML tags, the text is escaped,
// and line breaks follow the format's rules.
QString enrichedTextToHtml(const QString& text);

} // namespace tessaly
