#pragma once

#include <QString>
#include <QStringList>

namespace tessaly {

class PreferenceStore;

// Where the archive lives and how its folders are walked: the archive roots of the stored
// sources, the scopes a search runs over, and the order folders are browsed in.
class SearchScopes {
public:
    struct ArchiveRoot {
        QString name; // the account's address, or the folder source's last path component
        QString path; // the folder its archive goes into
        bool operator==(const ArchiveRoot&) const = default;
    };

    // One root per account, then one per folder source, in the order they were added. A
    // source with nowhere to archive to (no destination at all) has no root.
    static QList<ArchiveRoot> topPaths(const PreferenceStore& store);
    static QStringList topPathsJustPaths(const PreferenceStore& store);

    // The roots without those inside another: a root within an earlier one is dropped, and an
    // earlier one within a later root gives way to it. "Within" is by whole path components,
    // so /A/xy is not within /A/x.
    static QStringList coalescePaths(const QStringList& paths);

    // The longest run of leading path components all paths share; one path gives itself.
    static QString longestCommonPath(const QStringList& paths);

    // Browse order of two entries' names: short numbers (years, months) first and ascending,
    // then everything else descending, so dated file names run newest first.
    static bool browseOrderLess(const QString& a, const QString& b);
};

} // namespace tessaly
