#include "tags/openmeta.h"

#include "tags/binaryplist.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <sys/xattr.h>

namespace tessaly {

namespace {

const QString kUserTags = QStringLiteral("kMDItemOMUserTags");
const QString kUserTagTime = QStringLiteral("kMDItemOMUserTagTime");
const QString kStarRating = QStringLiteral("kMDItemStarRating");
const QString kRatingTime = QStringLiteral("kMDItemOMRatingTime");
const QString kSyncDone = QStringLiteral("kOM109SyncDone");
// Linux only lets unprivileged programs use the "user." namespace.
const QByteArray kLinuxPrefix = "user.";
const QByteArray kXdgTags = "user.xdg.tags";

OpenMetaError parameterError(const QString& info = QStringLiteral("Open Meta parameter error")) {
    return {QStringLiteral("openmeta"), -1, info};
}

OpenMetaError posixError(int error) {
    return {QStringLiteral("POSIX"), error, OpenMeta::errnoString(error)};
}

void setError(OpenMetaResult* out, OpenMetaResult value) {
    if (out) {
        *out = std::move(value);
    }
}

QByteArray fsPath(const QString& path) {
    return path.isEmpty() ? QByteArray() : QFile::encodeName(path);
}

QString lower(const QString& text) {
    return text.toLower();
}

QStringList toStringList(const QVariant& value) {
    QStringList out;
    for (const QVariant& item : value.toList()) {
        out.append(item.toString());
    }
    return out;
}

// Reads an attribute's raw bytes; nullopt with no error for a missing attribute.
std::optional<QByteArray> readRaw(const QByteArray& path, const QByteArray& name,
                                  OpenMetaResult* error) {
    QByteArray buffer(OpenMeta::kMaxValueBytes, Qt::Uninitialized);
    const ssize_t n = ::lgetxattr(path.constData(), name.constData(), buffer.data(),
                                  static_cast<size_t>(buffer.size()));
    if (n > 0) {
        buffer.truncate(n);
        return buffer;
    }
    if (n == 0) {
        return QByteArray();
    }
    const int e = errno;
    if (e != ENODATA && e != EINVAL) {
        setError(error, posixError(e));
    }
    return std::nullopt;
}

OpenMetaResult writeRaw(const QByteArray& path, const QByteArray& name, const QByteArray& data) {
    if (::lsetxattr(path.constData(), name.constData(), data.constData(),
                    static_cast<size_t>(data.size()), 0) != 0) {
        return posixError(errno);
    }
    return std::nullopt;
}

OpenMetaResult removeRaw(const QByteArray& path, const QByteArray& name) {
    if (::lremovexattr(path.constData(), name.constData()) != 0) {
        return posixError(errno);
    }
    return std::nullopt;
}

} // namespace

bool OpenMeta::MavericksOrLater() {
    static const bool supported = [] {
        QTemporaryFile probe(QDir::tempPath() + QStringLiteral("/tessaly-xattr-XXXXXX"));
        if (!probe.open()) {
            return false;
        }
        const QByteArray path = QFile::encodeName(probe.fileName());
        return ::lsetxattr(path.constData(), kXdgTags.constData(), "", 0, 0) == 0;
    }();
    return supported;
}

QString OpenMeta::tagsToSearchFor() {
    return MavericksOrLater() ? QStringLiteral("kMDItemUserTags") : kUserTags;
}

QString OpenMeta::spotlightKey(const QString& key) {
    return QStringLiteral("com.apple.metadata:") + key;
}

QString OpenMeta::openmetaKey(const QString& key) {
    return QStringLiteral("org.openmetainfo:") + key;
}

QString OpenMeta::errnoString(int error) {
    QString text = QStringLiteral("errno error: %1, %2")
                       .arg(error)
                       .arg(QString::fromLocal8Bit(std::strerror(error)));
    return text.left(1024);
}

QVariant OpenMeta::getXAttr(const QString& name, const QString& path, OpenMetaResult* error) {
    const QByteArray file = fsPath(path);
    if (file.isEmpty()) {
        setError(error, parameterError());
        return {};
    }
    setError(error, std::nullopt);
    const std::optional<QByteArray> raw = readRaw(file, kLinuxPrefix + name.toUtf8(), error);
    if (!raw || raw->isEmpty()) {
        return {};
    }
    QString parseError;
    const std::optional<QVariant> value = fromBinaryPlist(*raw, &parseError);
    if (!value) {
        setError(error, OpenMetaError{QStringLiteral("openmeta"), -2, parseError});
        return {};
    }
    return *value;
}

OpenMetaResult OpenMeta::setXAttr(const QVariant& value, const QString& name, const QString& path) {
    const QByteArray file = fsPath(path);
    if (file.isEmpty()) {
        return parameterError();
    }
    const QByteArray attribute = kLinuxPrefix + name.toUtf8();
    if (!value.isValid()) {
        return removeRaw(file, attribute);
    }
    QString serializeError;
    const std::optional<QByteArray> bytes = toBinaryPlist(value, &serializeError);
    if (!bytes) {
        return OpenMetaError{QStringLiteral("openmeta"), -2, serializeError};
    }
    if (bytes->size() > kMaxValueBytes) {
        return OpenMetaError{QStringLiteral("openmeta"), -5,
                             QStringLiteral("Meta data is too big - size as binary plist must be "
                                            "less than (perhaps 4k?) some number of bytes")};
    }
    return writeRaw(file, attribute, *bytes);
}

QVariant OpenMeta::getXAttrMetaData(const QString& key, const QString& path,
                                    OpenMetaResult* error) {
    return getXAttr(spotlightKey(key), path, error);
}

OpenMetaResult OpenMeta::setXAttrMetaData(const QVariant& value, const QString& key,
                                          const QString& path) {
    return setXAttr(value, spotlightKey(key), path);
}

bool OpenMeta::validateAsArrayOfStrings(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) {
        return true;
    }
    if (value.typeId() != QMetaType::QVariantList) {
        return false;
    }
    for (const QVariant& item : value.toList()) {
        if (item.typeId() != QMetaType::QString) {
            return false;
        }
    }
    return true;
}

QStringList OpenMeta::decomposeArrayOfStrings(const QVariantList& values) {
    QStringList out;
    for (const QVariant& item : values) {
        if (item.typeId() == QMetaType::QString) {
            out.append(item.toString().normalized(QString::NormalizationForm_D));
        }
    }
    return out;
}

QStringList OpenMeta::orderedArrayWithDict(const QHash<QString, QString>& byLowerCase,
                                           const QStringList& sortHint) {
    QHash<QString, QString> remaining = byLowerCase;
    QStringList out;
    for (const QString& hint : sortHint) {
        if (remaining.remove(lower(hint)) > 0) {
            out.append(hint);
        }
    }
    for (const QString& tag : std::as_const(remaining)) {
        out.append(tag);
    }
    return out;
}

std::optional<QStringList> OpenMeta::removeDuplicateTags(const std::optional<QStringList>& tags) {
    if (!tags) {
        return std::nullopt;
    }
    QVariantList values;
    for (const QString& tag : *tags) {
        values.append(tag);
    }
    const QStringList decomposed = decomposeArrayOfStrings(values);
    QHash<QString, QString> byLowerCase;
    for (const QString& tag : decomposed) {
        byLowerCase.insert(lower(tag), tag);
    }
    return orderedArrayWithDict(byLowerCase, decomposed);
}

std::optional<QVariantList> OpenMeta::getNSArrayMetaData(const QString& key, const QString& path,
                                                         OpenMetaResult* error) {
    const QVariant value = getXAttrMetaData(key, path, error);
    if (value.typeId() != QMetaType::QVariantList) {
        return std::nullopt;
    }
    return value.toList();
}

OpenMetaResult OpenMeta::setNSArrayMetaData(const QVariant& array, const QString& key,
                                            const QString& path) {
    if (array.isValid() && array.typeId() != QMetaType::QVariantList &&
        array.typeId() != QMetaType::QStringList) {
        return parameterError();
    }
    return setXAttrMetaData(array, key, path);
}

OpenMetaResult OpenMeta::addToNSArrayMetaData(const QVariantList& items, const QString& key,
                                              const QString& path) {
    OpenMetaResult result;
    QVariantList stored = getNSArrayMetaData(key, path, &result).value_or(QVariantList{});
    bool appended = false;
    for (const QVariant& item : items) {
        if (!stored.contains(item)) {
            stored.append(item);
            appended = true;
        }
    }
    if (appended) {
        result = setNSArrayMetaData(stored, key, path);
    }
    return result;
}

OpenMetaResult OpenMeta::setString(const QString& value, const QString& key, const QString& path) {
    return setXAttrMetaData(value, key, path);
}

QVariant OpenMeta::getString(const QString& key, const QString& path, OpenMetaResult* error) {
    return getXAttrMetaData(key, path, error);
}

std::optional<QStringList> OpenMeta::getAppleTags(const QString& path, OpenMetaResult* error) {
    if (!MavericksOrLater()) {
        const std::optional<QVariantList> stored = getNSArrayMetaData(kUserTags, path, error);
        return stored ? std::optional(toStringList(*stored)) : std::nullopt;
    }
    const QByteArray file = fsPath(path);
    if (file.isEmpty()) {
        setError(error, parameterError());
        return std::nullopt;
    }
    setError(error, std::nullopt);
    const std::optional<QByteArray> raw = readRaw(file, kXdgTags, error);
    if (!raw) {
        return std::nullopt;
    }
    return QString::fromUtf8(*raw).split(u',', Qt::SkipEmptyParts);
}

OpenMetaResult OpenMeta::setAppleTags(const QVariant& tags, const QString& path) {
    if (!validateAsArrayOfStrings(tags)) {
        return parameterError();
    }
    if (!MavericksOrLater()) {
        return setNSArrayMetaData(tags, kUserTags, path);
    }
    const QByteArray file = fsPath(path);
    if (file.isEmpty()) {
        return parameterError();
    }
    // The freedesktop list has no escape for its separator; a comma inside a tag would make two.
    QStringList names = toStringList(tags);
    for (QString& name : names) {
        name.replace(u',', u' ');
    }
    return writeRaw(file, kXdgTags, names.join(u',').toUtf8());
}

OpenMetaResult OpenMeta::setUserTags(const QVariant& tags, const QString& path) {
    return setUserTags(tags, path, QDateTime::currentDateTimeUtc());
}

OpenMetaResult OpenMeta::setUserTags(const QVariant& tags, const QString& path,
                                     const QDateTime& date) {
    if (!validateAsArrayOfStrings(tags)) {
        return parameterError(QStringLiteral("Open Meta SYNC parameter error"));
    }
    const QStringList unique = *removeDuplicateTags(toStringList(tags));
    (void)setXAttrMetaData(date, kUserTagTime, path);
    if (MavericksOrLater()) {
        return setAppleTags(unique, path);
    }
    return setXAttrMetaData(unique, kUserTags, path);
}

std::optional<QStringList> OpenMeta::getUserTags(const QString& path, OpenMetaResult* error) {
    if (!MavericksOrLater()) {
        const std::optional<QVariantList> stored = getNSArrayMetaData(kUserTags, path, error);
        return stored ? std::optional(toStringList(*stored)) : std::nullopt;
    }
    const std::optional<QStringList> platform = getAppleTags(path, error);
    OpenMetaResult olderError;
    const std::optional<QVariantList> olderValues =
        getNSArrayMetaData(kUserTags, path, &olderError);
    if (olderError) {
        setError(error, olderError);
    }
    const QStringList p = platform.value_or(QStringList{});
    const QStringList o = olderValues ? toStringList(*olderValues) : QStringList{};
    if (p.isEmpty() && o.isEmpty()) {
        return std::nullopt;
    }

    bool synced = false;
    const QVariant marker = getXAttr(kSyncDone, path);
    if (marker.isValid()) {
        synced = marker.toBool();
    } else {
        (void)setXAttr(true, kSyncDone, path);
    }
    if (p == o || synced) {
        return p;
    }
    const QStringList merged = *removeDuplicateTags(p + o);
    if (merged != p) {
        (void)setAppleTags(merged, path);
    }
    if (merged != o) {
        (void)setXAttrMetaData(merged, kUserTags, path);
    }
    return merged;
}

namespace {
// The checks adding and clearing share: the given tags, then the file's current ones.
OpenMetaResult currentTagsFor(const QVariant& tags, const QString& path, QStringList& current) {
    if (!OpenMeta::validateAsArrayOfStrings(tags)) {
        return parameterError();
    }
    OpenMetaResult readError;
    current = OpenMeta::getUserTags(path, &readError).value_or(QStringList{});
    return readError;
}
} // namespace

OpenMetaResult OpenMeta::addUserTags(const QVariant& tags, const QString& path) {
    QStringList current;
    if (OpenMetaResult error = currentTagsFor(tags, path, current)) {
        return error;
    }
    const QStringList combined = *removeDuplicateTags(current + toStringList(tags));
    if (combined == current) {
        return std::nullopt;
    }
    return setUserTags(combined, path);
}

OpenMetaResult OpenMeta::clearUserTags(const QVariant& tags, const QString& path) {
    QStringList current;
    if (OpenMetaResult error = currentTagsFor(tags, path, current)) {
        return error;
    }
    QStringList gone;
    for (const QString& tag : toStringList(tags)) {
        gone.append(lower(tag));
    }
    QStringList kept;
    for (const QString& tag : current) {
        if (!gone.contains(lower(tag))) {
            kept.append(tag);
        }
    }
    if (kept.size() == current.size()) {
        return std::nullopt;
    }
    return setUserTags(kept, path);
}

QStringList OpenMeta::getCommonUserTags(const QStringList& paths, OpenMetaResult* error) {
    if (paths.size() == 1) {
        return getUserTags(paths.first(), error).value_or(QStringList{});
    }
    QHash<QString, QString> common;
    QStringList hint;
    for (const QString& path : paths) {
        OpenMetaResult readError;
        const std::optional<QStringList> tags = getUserTags(path, &readError);
        if (readError || !tags || tags->isEmpty()) {
            setError(error, readError);
            return {};
        }
        if (common.isEmpty()) {
            for (const QString& tag : *tags) {
                common.insert(lower(tag), tag);
            }
            hint = *tags;
            continue;
        }
        QStringList lowered;
        for (const QString& tag : *tags) {
            lowered.append(lower(tag));
        }
        for (auto it = common.begin(); it != common.end();) {
            it = lowered.contains(it.key()) ? std::next(it) : common.erase(it);
        }
        if (common.isEmpty()) {
            return {};
        }
    }
    return orderedArrayWithDict(common, hint);
}

OpenMetaResult OpenMeta::setCommonUserTags(const QStringList& paths,
                                           const QStringList& originalCommon,
                                           const QStringList& replaceWith) {
    if (originalCommon.isEmpty() && replaceWith.isEmpty()) {
        return std::nullopt;
    }
    QStringList old;
    for (const QString& tag : originalCommon) {
        old.append(lower(tag));
    }
    OpenMetaResult pending;
    for (const QString& path : paths) {
        const QStringList current = getUserTags(path, &pending).value_or(QStringList{});
        if (replaceWith == current) {
            continue;
        }
        QStringList next;
        for (const QString& tag : current) {
            if (!old.contains(lower(tag))) {
                next.append(tag);
            }
        }
        next += replaceWith;
        if (OpenMetaResult written = setUserTags(next, path)) {
            pending = written;
        }
    }
    return pending;
}

OpenMetaResult OpenMeta::setRating(double rating, const QString& path) {
    if (rating <= 0) {
        return setXAttrMetaData(QVariant(), kStarRating, path);
    }
    (void)setXAttrMetaData(QDateTime::currentDateTimeUtc(), kRatingTime, path);
    return setXAttrMetaData(std::min(rating, 5.0), kStarRating, path);
}

double OpenMeta::getRating(const QString& path, OpenMetaResult* error) {
    const QVariant value = getXAttrMetaData(kStarRating, path, error);
    return value.isValid() ? value.toDouble() : 0.0;
}

} // namespace tessaly
