#pragma once

#include "search/searchscopes.h"

#include <QList>
#include <QString>

namespace tessaly {

// The places a search can be limited to, as the folder pop-up and the path bar name them.
class SearchPlaces {
public:
    struct Place {
        QString title;
        QString path; // "" for all archives
        bool operator==(const Place&) const = default;
    };
    using Roots = QList<SearchScopes::ArchiveRoot>;

    // "All Archives", then the archive root holding `path` (the last one that does), then one
    // entry per folder level below it down to `path` itself. Just "All Archives" for "".
    static QList<Place> parentsAndPath(const QString& path, const Roots& roots);
    // With no place, the archive roots; otherwise the place's direct sub-folders, hidden ones
    // skipped, in browse order.
    static QList<Place> subFolders(const QString& place, const Roots& roots);
};

} // namespace tessaly
