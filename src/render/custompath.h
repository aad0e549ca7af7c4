#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace tessaly {

class PreferenceStore;

// Path formats: per-account, per-kind ("pdf", "attachment", "eml") patterns of strftime
// directives and placeholders from which every archived file's relative path is built. The
// stored formats are read from the store handed in, never from a global one.
class CustomPath {
public:
    static QString generalAccount();

    static QString getFormat(const PreferenceStore& store, const QString& kind,
                             const QString& account);
    static QString getPathFormat(const PreferenceStore& store, const QString& account);
    static QString getAttachmentFormat(const PreferenceStore& store, const QString& account);
    static QString getEMLFormat(const PreferenceStore& store, const QString& account);
    static void setFormat(PreferenceStore& store, const QString& kind, const QString& account,
                          const QString& format);
    static void clearFormat(PreferenceStore& store, const QString& kind, const QString& account);
    static QString defaultFormat(const QString& kind);

    static QStringList pdfFormats();
    static QStringList attachmentFormats();
    static QStringList emlFormats();
    static QStringList pdfExamples();
    static QStringList attachmentExamples();
    static QStringList emlExamples();
    static QString getExample(const QString& format);
    static QString exampleToFormatString(const QString& example);

    // The relative path for one message. A missing date expands as the start of 1970.
    static QString substituteFormat(const QString& format, const std::optional<QDateTime>& date,
                                    const QString& subject, const QString& fromLast,
                                    const QString& toLast, const QString& emailFrom,
                                    const QString& emailTo, const QString& filename);

    static QString sanitizePathComponentPart(const QString& part, bool removeSlash);
    // Components of 203 UTF-16 units or more become their first 100, an ellipsis and their last
    // 100; any component still over the file system's 255 bytes is cut the same way until it fits.
    static QString ensurePathComponentsAreNotTooLong(const QString& path);
    // Only the 255-byte rule, for components the format did not produce.
    static QString fitComponentToFileSystem(const QString& component);

    enum class Zone { UTC, Local, Offset };
    struct ZoneChoice {
        Zone zone = Zone::UTC;
        int offsetSeconds = 0;
        QString pattern;
    };
    static ZoneChoice timeZoneAdjust(const QString& format);

    static constexpr int kMaxComponentBytes = 255;
};

} // namespace tessaly
