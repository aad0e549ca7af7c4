#include "unpack/mimeunpacker.h"

#include "platform/files/atomicfile.h"
#include "platform/mail/mcomessageparser.h"
#include "platform/mail/mimetree.h"
#include "platform/mail/textdecoding.h"
#include "platform/mail/uudecode.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

extern "C" {
#include <mapi.h>
#include <ytnef.h>
}

namespace tessaly {

namespace {

constexpr int kMaxNesting = 8;
constexpr qsizetype kMaxNameBytes = 255; // per name on Linux file systems

// The end of `text` (where a file name keeps its extension) that fits in `limit` UTF-8 bytes, in
// one pass from the back. Whole characters only: a surrogate pair is kept or dropped as one; a
// lone surrogate counts as three bytes, the most an encoder writes for it (U+FFFD).
QString keepLastUtf8Bytes(const QString& text, qsizetype limit) {
    qsizetype bytes = 0;
    qsizetype start = text.size();
    while (start > 0) {
        const char16_t unit = text[start - 1].unicode();
        qsizetype units = 1;
        qsizetype cost = 3;
        if (unit < 0x80) {
            cost = 1;
        } else if (unit < 0x800) {
            cost = 2;
        } else if (QChar::isLowSurrogate(unit) && start >= 2 &&
                   QChar::isHighSurrogate(text[start - 2].unicode())) {
            units = 2;
            cost = 4;
        }
        if (bytes + cost > limit) {
            break;
        }
        bytes += cost;
        start -= units;
    }
    return start == 0 ? text : text.mid(start);
}

class Unpacker {
public:
    explicit Unpacker(QString folder)
        : m_folder(std::move(folder)) {}

    QStringList written;

    void unpack(const QByteArray& content, const QString& nameHint, int depth) {
        if (depth > kMaxNesting || content.isEmpty()) {
            return;
        }
        if (isTnef(content)) {
            unpackTnef(content, depth);
            return;
        }
        if (unpackUuencoded(content)) {
            return;
        }
        unpackMime(content, nameHint, depth);
    }

private:
    static bool isTnef(const QByteArray& content) {
        return content.startsWith(QByteArray::fromHex("789f3e22"));
    }

    void save(const QString& name, const QByteArray& data, const QString& fallback) {
        QString fileName = MimeUnpacker::safeFileName(name);
        if (fileName.isEmpty()) {
            fileName = MimeUnpacker::safeFileName(fallback);
        }
        if (fileName.isEmpty()) {
            fileName = QStringLiteral("part %1").arg(written.size() + 1);
        }
        const QString path = m_folder + u'/' + fileName;
        if (writeFileAtomically(path, data, ExistingFile::KeepExisting).written()) {
            written.append(path);
        }
    }

    void unpackTnef(const QByteArray& content, int depth) {
        // TNEFInitialize leaves the debug level alone; left indeterminate, the library prints
        // (and over-reads) message bodies.
        TNEFStruct tnef{};
        TNEFInitialize(&tnef);
        tnef.Debug = 0;
        QByteArray copy = content;
        if (TNEFParseMemory(reinterpret_cast<BYTE*>(copy.data()), copy.size(), &tnef) == 0) {
            int index = 0;
            for (Attachment* a = tnef.starting_attach.next; a; a = a->next) {
                ++index;
                if (!a->FileData.data || a->FileData.size <= 0) {
                    continue;
                }
                const QByteArray data(reinterpret_cast<const char*>(a->FileData.data),
                                      a->FileData.size);
                QString name =
                    tnefString(MAPIFindProperty(&a->MAPI, PROP_TAG(PT_UNICODE, 0x3707)), true);
                if (name.isEmpty()) {
                    name =
                        tnefString(MAPIFindProperty(&a->MAPI, PROP_TAG(PT_STRING8, 0x3707)), false);
                }
                if (name.isEmpty() && a->Title.data) {
                    name = tnefBytes(a->Title);
                }
                // An attached TNEF or message is itself unpacked rather than kept whole.
                if (isTnef(data) && depth < kMaxNesting) {
                    unpack(data, name, depth + 1);
                    continue;
                }
                save(name, data, QStringLiteral("attachment %1").arg(index));
            }
        }
        TNEFFree(&tnef);
    }

    static QString tnefBytes(const variableLength& value) {
        QByteArray bytes(reinterpret_cast<const char*>(value.data), value.size);
        const qsizetype nul = bytes.indexOf('\0');
        if (nul >= 0) {
            bytes.truncate(nul);
        }
        return decodeUnlabelledBytes(bytes);
    }

    static QString tnefString(variableLength* value, bool utf16) {
        // MAPIFindProperty answers a sentinel (-1) when the property is absent.
        if (!value || value == reinterpret_cast<variableLength*>(-1) || !value->data ||
            value->size <= 0) {
            return {};
        }
        if (!utf16) {
            return tnefBytes(*value);
        }
        QString text =
            QString::fromUtf16(reinterpret_cast<const char16_t*>(value->data), value->size / 2);
        const qsizetype nul = text.indexOf(QChar(u'\0'));
        return nul >= 0 ? text.left(nul) : text;
    }

    bool unpackUuencoded(const QByteArray& content) {
        static const QRegularExpression begin(QStringLiteral("^begin [0-7]{3,4} (.+)$"),
                                              QRegularExpression::MultilineOption);
        const QString text = QString::fromLatin1(content);
        auto match = begin.match(text);
        if (!match.hasMatch()) {
            return false;
        }
        bool any = false;
        while (match.hasMatch()) {
            const qsizetype start = match.capturedEnd(0);
            const qsizetype end = text.indexOf(QStringLiteral("\nend"), start);
            const QByteArray block = content.mid(start, end < 0 ? -1 : end - start);
            save(match.captured(1).trimmed(), uudecode(block), QString());
            any = true;
            match = begin.match(text, end < 0 ? text.size() : end + 4);
        }
        return any;
    }

    void unpackMime(const QByteArray& content, const QString& nameHint, int depth) {
        MCOMessageParser parser(content);
        bool any = false;
        for (const MimeLeaf& leaf : collectMimeLeaves(parser.partTree())) {
            if (leaf.role == MimeLeaf::Role::Body && leaf.part.filename.isEmpty()) {
                continue;
            }
            any = true;
            if (isTnef(leaf.part.data) || leaf.part.mimeType == u"application/ms-tnef") {
                const int before = static_cast<int>(written.size());
                unpack(leaf.part.data, leaf.part.filename, depth + 1);
                if (written.size() > before) {
                    continue;
                }
            }
            save(leaf.part.filename, leaf.part.data, nameHint);
        }
        if (!any) {
            // A single part with no structure of its own: keep it under the name it came with.
            const QByteArray body =
                parser.attachments().isEmpty() ? QByteArray() : parser.attachments().first().data;
            if (!body.isEmpty()) {
                save(nameHint, body, QString());
            }
        }
    }

    QString m_folder;
};

} // namespace

QString MimeUnpacker::safeFileName(const QString& name) {
    QString base = name;
    const qsizetype slash = std::max(base.lastIndexOf(u'/'), base.lastIndexOf(u'\\'));
    if (slash >= 0) {
        base = base.mid(slash + 1);
    }
    QString clean;
    for (QChar c : base) {
        if (c.unicode() >= 0x20 && c.unicode() != 0x7F) {
            clean += c;
        }
    }
    clean = clean.trimmed();
    if (clean.isEmpty() || clean == u"." || clean == u"..") {
        return {};
    }
    // Keep the end of an over-long name, where the extension is.
    return keepLastUtf8Bytes(clean, kMaxNameBytes);
}

MimeUnpacker::Result MimeUnpacker::decode(const QByteArray& content, const QString& folder) {
    Result result;
    if (!QDir(folder).exists()) {
        result.status = -1;
        return result;
    }
    Unpacker unpacker(QDir(folder).absolutePath());
    unpacker.unpack(content, QString(), 0);
    result.written = unpacker.written;
    return result;
}

MimeUnpacker::Result MimeUnpacker::decodeFile(const QString& inputPath, const QString& folder) {
    QFile file(inputPath);
    if (!file.open(QIODevice::ReadOnly)) {
        return {-2, {}};
    }
    return decode(file.readAll(), folder);
}

} // namespace tessaly
