#include "render/custompath.h"

#include "platform/prefs/preferencestore.h"

#include <QRegularExpression>

#include <clocale>
#include <ctime>
#include <locale.h>
#include <vector>

namespace tessaly {

namespace {

const QString kPdf = QStringLiteral("pdf");
const QString kAttachment = QStringLiteral("attachment");
const QString kEml = QStringLiteral("eml");
const QString kTzMarker = QStringLiteral("TZ__");
const QString kLocalPrefix = QStringLiteral("localTZ__");
constexpr qsizetype kLongComponent = 203;
constexpr qsizetype kKeptUnits = 100;
constexpr size_t kStrftimeLimit = 500;
const QChar kEllipsis(0x2026);

locale_t cLocale() {
    static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

// First and last `keep` UTF-16 units around an ellipsis, never splitting a surrogate pair.
QString ellipsize(const QString& text, qsizetype keep) {
    qsizetype headLength = keep;
    if (headLength > 0 && text[headLength - 1].isHighSurrogate()) {
        --headLength;
    }
    qsizetype tailStart = text.size() - keep;
    if (tailStart < text.size() && text[tailStart].isLowSurrogate()) {
        ++tailStart;
    }
    return text.left(headLength) + kEllipsis + text.mid(tailStart);
}

bool hasUtf8Form(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text[i + 1].isLowSurrogate()) {
                return false;
            }
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

QString expandStrftime(const QString& pattern, const std::tm& time) {
    if (pattern.isEmpty()) {
        return {};
    }
    const QByteArray format = pattern.toUtf8();
    // Most patterns fit the usual 500 bytes. A longer expansion is kept whole rather than cut or
    // dropped: cutting could lose the extension, dropping would leave the destination folder
    // itself as the file's path. Over-long components are shortened afterwards.
    std::vector<char> buffer(kStrftimeLimit + 1);
    const size_t ceiling = static_cast<size_t>(format.size()) * 64 + 4096;
    while (true) {
        const size_t written =
            strftime_l(buffer.data(), buffer.size(), format.constData(), &time, cLocale());
        if (written > 0) {
            return QString::fromUtf8(buffer.data(), static_cast<qsizetype>(written));
        }
        if (buffer.size() >= ceiling) {
            return {}; // the pattern genuinely expands to nothing
        }
        buffer.resize(std::min(buffer.size() * 4, ceiling));
    }
}

double leadingNumber(const QString& text) {
    static const QRegularExpression number(
        QStringLiteral("^\\s*[+-]?(\\d+(\\.\\d*)?|\\.\\d+)([eE][+-]?\\d+)?"));
    const auto match = number.match(text);
    return match.hasMatch() ? match.captured(0).trimmed().toDouble() : 0.0;
}

QString cleanSubject(QString subject) {
    subject.remove(u'\n');
    subject.remove(u'\r');
    for (int pass = 0; pass < 2; ++pass) {
        subject.replace(QStringLiteral("\t "), QStringLiteral(" "));
    }
    for (int pass = 0; pass < 2; ++pass) {
        subject.replace(QStringLiteral(" \t"), QStringLiteral(" "));
    }
    subject.replace(u'\t', u' ');
    return subject;
}

QString trimDots(const QString& text) {
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && text[start] == u'.') {
        ++start;
    }
    while (end > start && text[end - 1] == u'.') {
        --end;
    }
    return text.mid(start, end - start);
}

QString sampleEmailFrom() {
    return QStringLiteral("john.smith@example.com");
}
QString sampleEmailTo() {
    return QStringLiteral("jane.doe@example.com");
}

} // namespace

QString CustomPath::generalAccount() {
    return QStringLiteral("General");
}

QString CustomPath::defaultFormat(const QString& kind) {
    if (kind == kPdf) {
        return QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__.pdf");
    }
    if (kind == kAttachment) {
        return QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__ (attachments)/__filename__");
    }
    return {};
}

QString CustomPath::getFormat(const PreferenceStore& store, const QString& kind,
                              const QString& account) {
    if (kind.isEmpty()) {
        return QStringLiteral("n/a");
    }
    const QString key = account.isEmpty() ? generalAccount() : account;
    const QString stored = store.stringValue(key + kind);
    if (!stored.isEmpty()) {
        return stored;
    }
    if (key != generalAccount()) {
        const QString general = getFormat(store, kind, generalAccount());
        if (!general.isEmpty()) {
            return general;
        }
    }
    return defaultFormat(kind);
}

QString CustomPath::getPathFormat(const PreferenceStore& store, const QString& account) {
    return getFormat(store, kPdf, account);
}

QString CustomPath::getAttachmentFormat(const PreferenceStore& store, const QString& account) {
    return getFormat(store, kAttachment, account);
}

QString CustomPath::getEMLFormat(const PreferenceStore& store, const QString& account) {
    return getFormat(store, kEml, account);
}

void CustomPath::setFormat(PreferenceStore& store, const QString& kind, const QString& account,
                           const QString& format) {
    // A value equal to the inherited one is not stored, so the account keeps following General.
    if (format == getFormat(store, kind, account)) {
        return;
    }
    const QString key = account.isEmpty() ? generalAccount() : account;
    store.setValue(key + kind, format);
}

void CustomPath::clearFormat(PreferenceStore& store, const QString& kind, const QString& account) {
    const QString key = account.isEmpty() ? generalAccount() : account;
    store.remove(key + kind);
}

QStringList CustomPath::pdfFormats() {
    return {defaultFormat(kPdf),
            QStringLiteral("localTZ__%Y/%m/%Y-%m-%d %H.%M.%S  __subject__.pdf"),
            QStringLiteral("-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__.pdf"),
            QStringLiteral("localTZ__%Y-%m-%d_%H%M%S __fromLast__-__toLast_____subject__.pdf")};
}

QStringList CustomPath::attachmentFormats() {
    return {
        defaultFormat(kAttachment),
        QStringLiteral("localTZ__%Y/%m/%Y-%m-%d %H.%M.%S  __subject__ (attachments)/__filename__"),
        QStringLiteral("-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__ (attachments)/__filename__"),
        QStringLiteral("localTZ__%Y-%m-%d_%H%M%S_Attachments/__filename__"),
        QStringLiteral("localTZ__%Y-%m-%d_%H%M%S___filename__")};
}

QStringList CustomPath::emlFormats() {
    return {defaultFormat(kEml), QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%S  __subject__.eml"),
            QStringLiteral("localTZ__%Y/%m/%Y-%m-%d %H.%M.%S  __subject__.eml"),
            QStringLiteral("-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__.eml"),
            QStringLiteral("localTZ__%Y-%m-%d_%H%M%S __fromLast__-__toLast_____subject__.eml")};
}

namespace {
QStringList examplesOf(const QStringList& formats) {
    QStringList out;
    for (const QString& format : formats) {
        out.append(CustomPath::getExample(format));
    }
    return out;
}
} // namespace

QStringList CustomPath::pdfExamples() {
    return examplesOf(pdfFormats());
}
QStringList CustomPath::attachmentExamples() {
    return examplesOf(attachmentFormats());
}
QStringList CustomPath::emlExamples() {
    return examplesOf(emlFormats());
}

QString CustomPath::getExample(const QString& format) {
    // 411725780 s after 2001-01-01 00:00:00 UTC.
    const QDateTime sample = QDateTime::fromSecsSinceEpoch(978307200LL + 411725780LL, Qt::UTC);
    return substituteFormat(format, sample, QStringLiteral("Typical Email Subject"),
                            QStringLiteral("Smith"), QStringLiteral("Doe"), sampleEmailFrom(),
                            sampleEmailTo(), QStringLiteral("My Great Word Doc.docx"));
}

QString CustomPath::exampleToFormatString(const QString& example) {
    for (const QStringList& formats : {pdfFormats(), attachmentFormats(), emlFormats()}) {
        for (const QString& format : formats) {
            if (getExample(format) == example) {
                return format;
            }
        }
    }
    return {};
}

CustomPath::ZoneChoice CustomPath::timeZoneAdjust(const QString& format) {
    ZoneChoice choice;
    const qsizetype marker = format.indexOf(kTzMarker);
    if (marker < 0) {
        choice.pattern = format;
        return choice;
    }
    const QString prefix = format.left(marker + kTzMarker.size());
    choice.pattern = format.mid(marker + kTzMarker.size());
    if (prefix == kLocalPrefix) {
        choice.zone = Zone::Local;
    } else {
        choice.zone = Zone::Offset;
        choice.offsetSeconds = static_cast<int>(leadingNumber(prefix) * 3600);
    }
    return choice;
}

QString CustomPath::substituteFormat(const QString& format, const std::optional<QDateTime>& date,
                                     const QString& subject, const QString& fromLast,
                                     const QString& toLast, const QString& emailFrom,
                                     const QString& emailTo, const QString& filename) {
    const QString cleanedSubject = sanitizePathComponentPart(cleanSubject(subject), true);
    const QString cleanedFrom = sanitizePathComponentPart(fromLast, true);
    const QString cleanedTo = sanitizePathComponentPart(toLast, true);
    const QString cleanedFile = sanitizePathComponentPart(filename, true);

    const ZoneChoice zone = timeZoneAdjust(format);
    std::time_t seconds =
        date && date->isValid() ? static_cast<std::time_t>(date->toSecsSinceEpoch()) : 0;
    std::tm broken{};
    if (zone.zone == Zone::Local) {
        localtime_r(&seconds, &broken);
    } else {
        seconds += zone.offsetSeconds;
        gmtime_r(&seconds, &broken);
    }

    QString path = expandStrftime(zone.pattern, broken);
    path.replace(QStringLiteral("__subject__"), cleanedSubject);
    path.replace(QStringLiteral("__fromLast__"), cleanedFrom);
    path.replace(QStringLiteral("__toLast__"), cleanedTo);
    path.replace(QStringLiteral("__filename__"), cleanedFile);
    path.replace(QStringLiteral("__emailFrom__"), emailFrom);
    path.replace(QStringLiteral("__emailTo__"), emailTo);
    return ensurePathComponentsAreNotTooLong(path);
}

QString CustomPath::sanitizePathComponentPart(const QString& part, bool removeSlash) {
    if (part.isEmpty()) {
        return part;
    }
    QString text = part;
    text.replace(u':', u' ');
    if (removeSlash) {
        text.replace(u'/', u' ');
    }
    text = trimDots(text.trimmed());
    text.replace(u'\\', u' ');
    text.replace(u'\n', u' ');
    text.replace(u'\r', u' ');
    text = text.normalized(QString::NormalizationForm_D);
    if (!hasUtf8Form(text)) {
        return QStringLiteral("..not found..");
    }
    return text;
}

QString CustomPath::fitComponentToFileSystem(const QString& component) {
    if (component.toUtf8().size() <= kMaxComponentBytes) {
        return component;
    }
    // Every kept unit costs at least one byte, so no more than 127 per side can fit.
    const qsizetype most =
        std::min<qsizetype>((component.size() - 1) / 2, (kMaxComponentBytes - 3) / 2);
    for (qsizetype keep = most; keep > 0; --keep) {
        QString candidate = ellipsize(component, keep);
        if (candidate.toUtf8().size() <= kMaxComponentBytes) {
            return candidate;
        }
    }
    return QString(kEllipsis);
}

QString CustomPath::ensurePathComponentsAreNotTooLong(const QString& path) {
    QStringList components = path.split(u'/');
    for (QString& component : components) {
        if (component.size() >= kLongComponent) {
            component = ellipsize(component, kKeptUnits);
        }
        component = fitComponentToFileSystem(component);
    }
    return components.join(u'/');
}

} // namespace tessaly
