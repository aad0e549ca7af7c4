#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

namespace tessaly {

// A failure of a tag-store call: nullopt means success.
struct OpenMetaError {
    QString domain; // "openmeta" or "POSIX"
    int code = 0;
    QString info;
};
using OpenMetaResult = std::optional<OpenMetaError>;

// Tags, ratings and related values kept in files' extended attributes, as binary property lists
// under "user." + "com.apple.metadata:" + key. Files' own tags are the freedesktop attribute
// user.xdg.tags (comma-separated), which file managers and desktop search read. Every call works
// on the path itself, never following a symbolic link at its end.
class OpenMeta {
public:
    static constexpr qsizetype kMaxValueBytes = 4096;

    static bool MavericksOrLater();
    static QString tagsToSearchFor();

    static QString spotlightKey(const QString& key);
    static QString openmetaKey(const QString& key);
    static QString errnoString(int error);

    [[nodiscard]] static OpenMetaResult setUserTags(const QVariant& tags, const QString& path);
    [[nodiscard]] static OpenMetaResult setUserTags(const QVariant& tags, const QString& path,
                                                    const QDateTime& date);
    static std::optional<QStringList> getUserTags(const QString& path,
                                                  OpenMetaResult* error = nullptr);
    [[nodiscard]] static OpenMetaResult addUserTags(const QVariant& tags, const QString& path);
    [[nodiscard]] static OpenMetaResult clearUserTags(const QVariant& tags, const QString& path);
    static std::optional<QStringList> getAppleTags(const QString& path,
                                                   OpenMetaResult* error = nullptr);
    [[nodiscard]] static OpenMetaResult setAppleTags(const QVariant& tags, const QString& path);
    static QStringList getCommonUserTags(const QStringList& paths, OpenMetaResult* error = nullptr);
    [[nodiscard]] static OpenMetaResult setCommonUserTags(const QStringList& paths,
                                                          const QStringList& originalCommon,
                                                          const QStringList& replaceWith);

    [[nodiscard]] static OpenMetaResult setRating(double rating, const QString& path);
    static double getRating(const QString& path, OpenMetaResult* error = nullptr);

    [[nodiscard]] static OpenMetaResult setString(const QString& value, const QString& key,
                                                  const QString& path);
    static QVariant getString(const QString& key, const QString& path,
                              OpenMetaResult* error = nullptr);
    static std::optional<QVariantList> getNSArrayMetaData(const QString& key, const QString& path,
                                                          OpenMetaResult* error = nullptr);
    [[nodiscard]] static OpenMetaResult setNSArrayMetaData(const QVariant& array,
                                                           const QString& key, const QString& path);
    [[nodiscard]] static OpenMetaResult
    addToNSArrayMetaData(const QVariantList& items, const QString& key, const QString& path);
    static QVariant getXAttrMetaData(const QString& key, const QString& path,
                                     OpenMetaResult* error = nullptr);
    [[nodiscard]] static OpenMetaResult setXAttrMetaData(const QVariant& value, const QString& key,
                                                         const QString& path);
    // Raw attribute access by full name (without the "user." that Linux adds).
    static QVariant getXAttr(const QString& name, const QString& path,
                             OpenMetaResult* error = nullptr);
    [[nodiscard]] static OpenMetaResult setXAttr(const QVariant& value, const QString& name,
                                                 const QString& path);

    static bool validateAsArrayOfStrings(const QVariant& value);
    static std::optional<QStringList> removeDuplicateTags(const std::optional<QStringList>& tags);
    static QStringList decomposeArrayOfStrings(const QVariantList& values);
    static QStringList orderedArrayWithDict(const QHash<QString, QString>& byLowerCase,
                                            const QStringList& sortHint);
};

} // namespace tessaly
