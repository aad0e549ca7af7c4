#include "platform/mail/textdecoding.h"

#include "platform/mail/gobjectptr.h"
#include "platform/mail/mcomessageparser.h"

#include <QRegularExpression>
#include <QStringDecoder>

#include <gmime/gmime.h>

namespace tessaly {

namespace {

// Code points for 0x80..0x9F; the rest of Windows-1252 coincides with Latin-1. Undefined
// positions keep their C1 code point, as browsers do.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

bool isValidUtf8(QByteArrayView bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString ignored = decoder.decode(bytes);
    return !decoder.hasError();
}

QString decodeWindows1252(QByteArrayView bytes) {
    QString result;
    result.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80 && byte <= 0x9F) {
            result.append(QChar(kCp1252High[byte - 0x80]));
        } else {
            result.append(QChar(static_cast<char16_t>(byte)));
        }
    }
    return result;
}

QString decodeUnlabelledBytes(QByteArrayView bytes) {
    if (isValidUtf8(bytes)) {
        return QString::fromUtf8(bytes);
    }
    return decodeWindows1252(bytes);
}

QByteArray unfoldHeaderValue(QByteArrayView raw) {
    QByteArray out;
    out.reserve(raw.size());
    for (char c : raw) {
        if (c != '\r' && c != '\n') {
            out.append(c);
        }
    }
    return out.trimmed();
}

namespace {

bool isAsciiIncompatible(const QString& charset) {
    const QString lower = charset.toLower();
    return lower.startsWith(u"utf-16") || lower.startsWith(u"utf-32") ||
           lower.startsWith(u"ucs-2") || lower.startsWith(u"iso-2022") || lower == u"utf-7" ||
           lower.startsWith(u"hz");
}

bool isAscii(const QByteArray& bytes) {
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

std::optional<QString> convertFrom(const QByteArray& bytes, const QString& charset) {
    if (charset.isEmpty()) {
        return std::nullopt;
    }
    const QByteArray name = charset.toLatin1();
    const char* iconvName = g_mime_charset_iconv_name(name.constData());
    gsize written = 0;
    GError* error = nullptr;
    gchar* utf8 = g_convert(bytes.constData(), bytes.size(), "UTF-8",
                            iconvName ? iconvName : name.constData(), nullptr, &written, &error);
    if (error) {
        g_error_free(error);
        g_free(utf8);
        return std::nullopt;
    }
    QString text = QString::fromUtf8(utf8, static_cast<qsizetype>(written));
    g_free(utf8);
    return text;
}

} // namespace

QString htmlMetaCharset(const QByteArray& html) {
    static const QRegularExpression meta(
        QStringLiteral("<meta[^>]*?charset\\s*=\\s*[\"']?\\s*([A-Za-z0-9_:.+-]+)"),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = meta.match(QString::fromLatin1(html.left(8192)));
    return match.hasMatch() ? match.captured(1) : QString();
}

QString decodeTextPart(const QByteArray& bytes, const QString& declaredCharset, bool isHtml) {
    ensureGMimeInitialised();
    if (isAsciiIncompatible(declaredCharset)) {
        if (auto text = convertFrom(bytes, declaredCharset)) {
            return *text;
        }
    }
    if (isValidUtf8(bytes)) {
        if (!isAscii(bytes) || declaredCharset.isEmpty()) {
            return QString::fromUtf8(bytes);
        }
    }
    if (auto text = convertFrom(bytes, declaredCharset)) {
        return *text;
    }
    if (isHtml) {
        const QString meta = htmlMetaCharset(bytes);
        if (!isAsciiIncompatible(meta) || meta.isEmpty()) {
            if (auto text = convertFrom(bytes, meta)) {
                return *text;
            }
        }
    }
    return decodeWindows1252(bytes);
}

QString enrichedTextToHtml(const QString& text) {
    ensureGMimeInitialised();
    const QByteArray utf8 = text.toUtf8();
    GObjectPtr<GMimeStream> memory(g_mime_stream_mem_new());
    GObjectPtr<GMimeStream> filtered(g_mime_stream_filter_new(memory.get()));
    GObjectPtr<GMimeFilter> filter(g_mime_filter_enriched_new(0));
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), filter.get());
    g_mime_stream_write(filtered.get(), utf8.constData(), static_cast<size_t>(utf8.size()));
    g_mime_stream_flush(filtered.get());
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory.get()));
    return QString::fromUtf8(reinterpret_cast<const char*>(bytes->data),
                             static_cast<qsizetype>(bytes->len));
}

} // namespace tessaly
