#include "archive/sources/fileexpansion.h"

#include "archive/archivelog.h"
#include "platform/files/atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryFile>

#include <cstring>
#include <string.h>
#include <vector>

namespace tessaly {

namespace {

constexpr qint64 kMinRemaining = 100;

// The line-ending rule applied to one range, looking past its ends into the whole data: a CR
// next to an LF goes, any other CR becomes an LF.
QByteArray cleanRange(QByteArrayView all, qint64 start, qint64 length) {
    QByteArray out;
    out.reserve(length);
    for (qint64 i = start; i < start + length; ++i) {
        const char c = all[i];
        if (c != '\r') {
            out.append(c);
            continue;
        }
        const char before = i > 0 ? all[i - 1] : ' ';
        const char after = i + 1 < all.size() ? all[i + 1] : ' ';
        if (before != '\n' && after != '\n') {
            out.append('\n');
        }
    }
    return out;
}

class Expander {
public:
    Expander(QString splitRoot, FileExpansion::Result& result)
        : m_splitRoot(std::move(splitRoot))
        , m_result(result) {}

    void explode(const QString& path) {
        if (path.isEmpty()) {
            return;
        }
        const QFileInfo info(path);
        const QString extension = info.suffix().toLower();
        const QString name = info.fileName().toLower();
        if (extension == u"eml") {
            m_result.emls.append(path);
            m_result.countFound();
            return;
        }
        if (extension == u"emlx") {
            m_result.emlxs.append(path);
            m_result.countFound();
            return;
        }
        if (info.isDir()) {
            explodeFolder(path);
            return;
        }
        if (extension == u"mbox" || name == u"mbox") {
            explodeMBox(path);
        }
    }

private:
    void explodeFolder(const QString& path) {
        // A link that makes a folder contain itself would otherwise be followed for ever.
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (canonical.isEmpty() || m_visited.contains(canonical)) {
            return;
        }
        m_visited.insert(canonical);
        const QDir dir(path);
        const QStringList entries = dir.entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
        for (const QString& entry : entries) {
            explode(path + u'/' + entry);
        }
    }

    void explodeMBox(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() == 0) {
            return;
        }
        const qint64 size = file.size();
        uchar* map = file.map(0, size);
        if (!map) {
            m_result.unreadable.append({path, QStringLiteral("cannot be mapped into memory")});
            return;
        }
        const QByteArrayView raw(reinterpret_cast<const char*>(map), size);
        const QString folder = FileExpansion::mirrorFolder(path, m_splitRoot);
        if (!QDir().mkpath(folder)) {
            m_result.unreadable.append({path, QStringLiteral("cannot create ") + folder});
            return;
        }
        if (!std::memchr(raw.data(), '\r', static_cast<size_t>(raw.size()))) {
            FileExpansion::splitMailbox(raw, folder, path, m_result);
            return;
        }
        // Line endings must be cleaned before splitting. The cleaned copy goes to a file of its
        // own and is mapped in turn, so a mailbox of any size needs little memory.
        QTemporaryFile cleaned(m_splitRoot + QStringLiteral("/.clean-XXXXXX"));
        if (!cleaned.open()) {
            m_result.unreadable.append({path, QStringLiteral("no room to clean line endings")});
            return;
        }
        constexpr qint64 kChunk = 8 << 20;
        for (qint64 start = 0; start < size; start += kChunk) {
            const qint64 length = std::min(kChunk, size - start);
            if (cleaned.write(cleanRange(raw, start, length)) < 0) {
                m_result.unreadable.append({path, QStringLiteral("no room to clean line endings")});
                return;
            }
        }
        cleaned.flush();
        const qint64 cleanedSize = cleaned.size();
        uchar* cleanedMap = cleanedSize > 0 ? cleaned.map(0, cleanedSize) : nullptr;
        if (cleanedMap) {
            FileExpansion::splitMailbox(
                QByteArrayView(reinterpret_cast<const char*>(cleanedMap), cleanedSize), folder,
                path, m_result);
        }
    }

    QString m_splitRoot;
    FileExpansion::Result& m_result;
    QSet<QString> m_visited;
};

} // namespace

QString FileExpansion::mirrorFolder(const QString& mailboxPath, const QString& splitRoot) {
    return QDir::cleanPath(splitRoot + u'/' + QFileInfo(mailboxPath).absoluteFilePath());
}

void FileExpansion::splitMailbox(QByteArrayView data, const QString& folder,
                                 const QString& mailboxPath, Result& result) {
    const qint64 length = data.size();
    const char* bytes = data.data();
    qint64 offset = 0;
    while (length - offset >= kMinRemaining) {
        const char* searchFrom = bytes + offset + 10;
        const void* match =
            ::memmem(searchFrom, static_cast<size_t>(length - offset - 10), "\nFrom ", 6);
        const qint64 end = match ? static_cast<const char*>(match) - bytes : length;
        const void* lineEnd =
            std::memchr(bytes + offset + 2, '\n', static_cast<size_t>(end - offset - 2));
        if (!lineEnd) {
            // The separator line never ends inside this message: it has no defined start.
            result.unreadable.append(
                {mailboxPath,
                 QStringLiteral("message ending at byte %1 has no line after its separator")
                     .arg(end)});
            offset = end;
            continue;
        }
        const qint64 start = static_cast<const char*>(lineEnd) - bytes + 1;
        const QString path = folder + QStringLiteral("/m_%1.eml").arg(end);
        const WriteOutcome outcome =
            writePrivateFileAtomically(path, QByteArrayView(bytes + start, end - start));
        if (outcome.written()) {
            result.emls.append(path);
            result.countFound();
        } else {
            result.unreadable.append(
                {mailboxPath, QStringLiteral("cannot write %1: %2").arg(path, outcome.error)});
        }
        offset = end;
    }
}

FileExpansion::Result FileExpansion::explodeFilesAndFolders(const QStringList& paths,
                                                            const QString& splitRoot,
                                                            std::atomic<int>* runningCount) {
    Result result;
    result.runningCount = runningCount;
    result.countFound();
    Expander expander(splitRoot, result);
    for (const QString& path : paths) {
        expander.explode(path);
    }
    return result;
}

void FileExpansion::explode(const QString& path, const QString& splitRoot, Result& result) {
    Expander(splitRoot, result).explode(path);
}

QByteArray FileExpansion::cleanUpLineEndings(QByteArrayView data) {
    if (!std::memchr(data.data(), '\r', static_cast<size_t>(data.size()))) {
        return data.toByteArray();
    }
    return cleanRange(data, 0, data.size());
}

std::optional<QByteArray> FileExpansion::fixHeaderLinesInData(const QByteArray& data) {
    if (lineCountAtLeast(data, kMinLinesToFix) < kMinLinesToFix) {
        return std::nullopt;
    }
    return repairHeaderLines(data);
}

qsizetype FileExpansion::lineCountAtLeast(QByteArrayView data, qsizetype enough) {
    qsizetype lines = 1;
    for (qsizetype i = 0; i < data.size() && lines < enough; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\n' || c == 0x85 ||
            (c == '\r' && (i + 1 == data.size() || data[i + 1] != '\n'))) {
            ++lines;
        }
    }
    return lines;
}

QByteArray FileExpansion::repairHeaderLines(const QByteArray& data) {
    // Lines end at LF, CR LF, a lone CR, or NEL (0x85, as Latin-1 reads that byte). Worked on
    // the bytes in one pass: messages can be large, and every byte comes back as it was.
    std::vector<QByteArrayView> lines;
    const char* bytes = data.constData();
    const qsizetype size = data.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c != '\n' && c != '\r' && c != 0x85) {
            continue;
        }
        lines.emplace_back(bytes + start, i - start);
        if (c == '\r' && i + 1 < size && bytes[i + 1] == '\n') {
            ++i;
        }
        start = i + 1;
    }
    lines.emplace_back(bytes + start, size - start);
    QByteArray out;
    out.reserve(size);
    bool inBody = false;
    bool first = true;
    auto keep = [&](QByteArrayView prefix, QByteArrayView line, bool parenthesesToSpaces) {
        if (!first) {
            out += '\n';
        }
        first = false;
        out += prefix;
        const qsizetype at = out.size();
        out += line;
        if (parenthesesToSpaces) {
            for (qsizetype i = at; i < out.size(); ++i) {
                if (out[i] == '(' || out[i] == ')') {
                    out[i] = ' ';
                }
            }
        }
    };
    for (const QByteArrayView line : lines) {
        if (line.isEmpty()) {
            inBody = true;
        }
        if (inBody) {
            keep({}, line, false);
            continue;
        }
        const char lead = line.isEmpty() ? '\0' : line.front();
        if (lead == ' ' || lead == '\t' || lead == '(' || lead == ')') {
            keep({}, line, true);
        } else if (line.startsWith(':')) {
            keep(" ", line, true);
        } else {
            // The parentheses become spaces before the line is judged.
            const qsizetype colon = line.indexOf(':');
            qsizetype space = line.indexOf(' ');
            const qsizetype open = line.indexOf('(');
            const qsizetype close = line.indexOf(')');
            for (qsizetype p : {open, close}) {
                if (p >= 0 && (space < 0 || p < space)) {
                    space = p;
                }
            }
            if (colon >= 0 && space >= 0) {
                keep(space < colon ? " " : "", line, true);
            } else if (colon >= 0) {
                keep({}, line, true);
            } else if (space < 0) {
                keep(" ", line, true);
            }
            // A space but no colon: not a header line, dropped.
        }
    }
    return out;
}

std::optional<QByteArray> FileExpansion::tryCatchFixHeaderLinesInData(const QByteArray& data) {
    try {
        return fixHeaderLinesInData(data);
    } catch (const std::exception& e) {
        qCWarning(lcArchive) << "header repair failed:" << e.what();
        return std::nullopt;
    }
}

} // namespace tessaly
