#include "app/searchview/searchplaces.h"

#include "search/searchitem.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>

namespace tessaly {

namespace {

bool isWithin(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder.endsWith(u'/') ? folder : folder + u'/');
}

} // namespace

QList<SearchPlaces::Place> SearchPlaces::parentsAndPath(const QString& path, const Roots& roots) {
    QList<Place> chain{{QCoreApplication::translate("SearchView", "All Archives"), QString()}};
    const QString clean = path.isEmpty() ? QString() : QDir::cleanPath(path);
    if (clean.isEmpty()) {
        return chain;
    }
    const SearchScopes::ArchiveRoot* holder = nullptr;
    for (const SearchScopes::ArchiveRoot& root : roots) {
        if (isWithin(clean, QDir::cleanPath(root.path))) {
            holder = &root;
        }
    }
    QString levels;
    if (holder) {
        chain.append({holder->name, QDir::cleanPath(holder->path)});
        levels = QDir::cleanPath(holder->path);
    }
    // Outside every root (a root was removed while it was the place): the path's own levels.
    const QStringList below = clean.mid(levels.size()).split(u'/', Qt::SkipEmptyParts);
    for (const QString& name : below) {
        levels = levels.endsWith(u'/') ? levels + name : levels + u'/' + name;
        chain.append({SearchItem::getItemTitlePerhapsMonth(levels), levels});
    }
    return chain;
}

QList<SearchPlaces::Place> SearchPlaces::subFolders(const QString& place, const Roots& roots) {
    QList<Place> folders;
    if (place.isEmpty()) {
        for (const SearchScopes::ArchiveRoot& root : roots) {
            folders.append({root.name, root.path});
        }
        return folders;
    }
    QStringList paths;
    const QDir dir(place);
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        paths.append(dir.filePath(name));
    }
    std::sort(paths.begin(), paths.end(), SearchScopes::browseOrderLess);
    for (const QString& path : paths) {
        folders.append({SearchItem::getItemTitlePerhapsMonth(path), path});
    }
    return folders;
}

} // namespace tessaly
