#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <atomic>
#include <optional>

namespace tessaly {

// Facts about a file or folder of the archive for the search view's info panel: what a folder
// holds and how large it is, or a file's creation date, pages, size and tags. A value, made on
// a worker thread and handed to the view.
struct ItemInfo {
    QString path;
    bool isFolder = false;
    int numPDFs = 0;
    int numImages = 0;
    int numOther = 0;
    qint64 totalBytes = 0;
    // Files only.
    int pageCount = 0;
    // The PDF's tags joined with ", ".
    QString tags;
    // The file's creation date in the locale's short date and time, or empty when the file
    // system does not know it.
    QString created;

    // Counts the regular files of the folder's tree by kind (hidden ones and the contents of
    // sub-folders whose name begins with "_" left out) and adds up their sizes. A folder that
    // cannot be read ends the walk with what was counted so far. `stop`, when given and set,
    // ends it early too.
    static ItemInfo getFolderInfo(const QString& path, const std::atomic<bool>* stop = nullptr);
    // The file counted as one of its kind; a PDF also gives its pages and tags (a PDF that
    // cannot be opened gives 1 page and no tags).
    static ItemInfo getFileInfo(const QString& path);
    // The folder's or the file's facts; nothing when the path does not exist.
    static std::optional<ItemInfo> forPath(const QString& path,
                                           const std::atomic<bool>* stop = nullptr);

    // The panel's text: a folder's counts and size in whole MB, or a file's date, pages, size
    // in MB to four places and its tags one a line.
    static QString infoText(const ItemInfo& info);
    // A file's date as the panel shows it: the locale's numeric date with the whole year and
    // its time with seconds, between the short forms (two-digit years, no seconds) and the long
    // ones (week days, time zones).
    static QString createdText(const QDateTime& created, const QLocale& locale = QLocale());

    bool operator==(const ItemInfo&) const = default;
};

} // namespace tessaly
