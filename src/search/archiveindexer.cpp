#include "search/archiveindexer.h"

#include "platform/pdf/pdfinfo.h"
#include "tags/openmeta.h"

#include <QDateTime>
#include <QMap>
#include <QPdfDocument>
#include <QPdfSelection>
#include <QRegularExpression>

#include <algorithm>
#include <limits>

namespace tessaly {

namespace {

bool isAttachmentFolder(QStringView name) {
    // The default formats name it "... (attachments)"; an older one "..._Attachments".
    return name.contains(u"(attachments)") || name.endsWith(u"_Attachments");
}

} // namespace

QString ArchiveIndexer::relativePath(const QString& path, const QString& root) {
    const QString prefix = root.endsWith(u'/') ? root : root + u'/';
    return path.startsWith(prefix) ? path.mid(prefix.size()) : QFileInfo(path).fileName();
}

bool ArchiveIndexer::isIndexed(const QString& relativePath) {
    if (relativePath.isEmpty()) {
        return false;
    }
    for (QStringView part : QStringView(relativePath).split(u'/', Qt::SkipEmptyParts)) {
        if (part.startsWith(u'.')) {
            return false;
        }
    }
    return true;
}

QString ArchiveIndexer::kindOf(const QString& relativePath) {
    const QList<QStringView> parts = QStringView(relativePath).split(u'/', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        if (isAttachmentFolder(parts[i])) {
            return QStringLiteral("attachment");
        }
    }
    if (relativePath.endsWith(u".pdf", Qt::CaseInsensitive)) {
        return QStringLiteral("pdf");
    }
    if (relativePath.endsWith(u".eml", Qt::CaseInsensitive)) {
        return QStringLiteral("eml");
    }
    return QStringLiteral("attachment");
}

std::optional<qint64> ArchiveIndexer::pdfDateSeconds(const QString& text) {
    // D:YYYY[MM[DD[HH[mm[SS]]]]][Z|+HH'mm'|-HH'mm']; the prefix and the trailing quote are
    // optional in files seen in the wild.
    static const QRegularExpression pattern(QStringLiteral(
        R"(^\s*(?:D:)?(\d{4})(\d{2})?(\d{2})?(\d{2})?(\d{2})?(\d{2})?(?:(Z)|([+-])(\d{2})'?(\d{2})?'?)?)"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const auto part = [&match](int group, int fallback) {
        const QString value = match.captured(group);
        return value.isEmpty() ? fallback : value.toInt();
    };
    const QDate date(part(1, 0), part(2, 1), part(3, 1));
    const QTime time(part(4, 0), part(5, 0), part(6, 0));
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    qint64 seconds = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch();
    if (!match.captured(8).isEmpty()) {
        const qint64 offset = part(9, 0) * 3600 + part(10, 0) * 60;
        seconds -= match.captured(8) == u"+" ? offset : -offset;
    }
    return seconds;
}

QString ArchiveIndexer::pdfText(const QString& path) {
    QPdfDocument document;
    if (document.load(path) != QPdfDocument::Error::None) {
        return {};
    }
    QString text;
    const int pages = std::min(document.pageCount(), kMaxTextPages);
    for (int page = 0; page < pages && text.size() < kMaxTextChars; ++page) {
        if (!text.isEmpty()) {
            text += u'\n';
        }
        text += document.getAllText(page).text();
    }
    text.truncate(kMaxTextChars);
    return text;
}

qint64 ArchiveIndexer::modificationNs(const QFileInfo& file) {
    // Archived files carry their message's date, and a message may claim any year: nanoseconds
    // run out after 2262 (and before 1677), so such times are held at the limit.
    constexpr qint64 kPerMs = 1'000'000;
    constexpr qint64 kLimit = std::numeric_limits<qint64>::max() / kPerMs;
    const qint64 ms = std::clamp(file.lastModified().toMSecsSinceEpoch(), -kLimit, kLimit);
    return ms * kPerMs;
}

IndexedFile ArchiveIndexer::read(const QFileInfo& file, const QString& root,
                                 const std::optional<QString>& knownText) {
    IndexedFile record;
    record.path = file.absoluteFilePath();
    record.root = root;
    const QString relative =
        record.path.startsWith(root + u'/') ? record.path.mid(root.size() + 1) : file.fileName();
    record.kind = kindOf(relative);
    record.displayName = file.fileName();
    record.mtimeNs = modificationNs(file);
    record.size = file.size();
    if (const std::optional<QStringList> tags = OpenMeta::getAppleTags(record.path)) {
        record.tags = tags->join(u',');
    }
    if (!relative.endsWith(u".pdf", Qt::CaseInsensitive)) {
        return record;
    }
    QMap<QString, QString> attributes;
    QString error;
    if (!PdfInfo::read(record.path, attributes, &error)) {
        return record; // a damaged PDF is still found by its name and tags
    }
    record.title = attributes.value(QStringLiteral("Title"));
    record.authors = attributes.value(QStringLiteral("Author"));
    record.keywords = attributes.value(QStringLiteral("Keywords"));
    record.contentDate = pdfDateSeconds(attributes.value(QStringLiteral("CreationDate")));
    record.textContent = knownText ? *knownText : pdfText(record.path);
    return record;
}

} // namespace tessaly
