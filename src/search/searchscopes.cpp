#include "search/searchscopes.h"

#include "platform/files/pathnames.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/prefs/urlbookmarkinprefs.h"
#include "settings/accountkeys.h"

#include <QDir>

namespace tessaly {

namespace {

QString joined(const QString& folder, const QString& name) {
    return QDir::cleanPath(folder + u'/' + name);
}

// Whether `inner` is `outer` or lies below it, by whole components.
bool within(const QString& inner, const QString& outer) {
    if (inner == outer) {
        return true;
    }
    const QString prefix = outer.endsWith(u'/') ? outer : outer + u'/';
    return inner.startsWith(prefix);
}

// The leading integer of a name, as a number is read from the start of a string; 0 for none.
long leadingNumber(const QString& name) {
    qsizetype end = 0;
    while (end < name.size() && name[end].isDigit()) {
        ++end;
    }
    return end == 0 ? 0 : name.left(end).toLong();
}

} // namespace

QList<SearchScopes::ArchiveRoot> SearchScopes::topPaths(const PreferenceStore& store) {
    const QString general = URLBookmarkInPrefs::lookup(store, prefkeys::destBookmarkURL).path;
    QList<ArchiveRoot> roots;
    auto add = [&](const QString& key, const QString& name) {
        const QString own =
            URLBookmarkInPrefs::lookup(store, key + accountkeys::destinationSuffix).path;
        const QString base = own.isEmpty() ? general : own;
        if (!base.isEmpty()) {
            roots.append({name, joined(base, lastPathComponent(key))});
        }
    };
    for (const QString& address : store.stringListValue(accountkeys::emailAccounts)) {
        if (!address.isEmpty()) {
            add(address, address);
        }
    }
    for (const QString& folder : store.stringListValue(accountkeys::folderItems)) {
        if (!folder.isEmpty()) {
            add(folder, lastPathComponent(folder));
        }
    }
    return roots;
}

QStringList SearchScopes::topPathsJustPaths(const PreferenceStore& store) {
    QStringList paths;
    for (const ArchiveRoot& root : topPaths(store)) {
        paths.append(root.path);
    }
    return paths;
}

QStringList SearchScopes::coalescePaths(const QStringList& paths) {
    QStringList scopes;
    for (const QString& path : paths) {
        if (scopes.contains(path)) {
            continue;
        }
        bool placed = false;
        for (qsizetype i = 0; i < scopes.size(); ++i) {
            if (within(scopes[i], path)) {
                scopes[i] = path;
                placed = true;
                break;
            }
            if (within(path, scopes[i])) {
                placed = true;
                break;
            }
        }
        if (!placed) {
            scopes.append(path);
        }
    }
    // A wider root that replaced one entry may cover others listed after it.
    QStringList result;
    for (const QString& scope : std::as_const(scopes)) {
        bool covered = false;
        for (const QString& other : std::as_const(scopes)) {
            covered = covered || (other != scope && within(scope, other));
        }
        if (!covered && !result.contains(scope)) {
            result.append(scope);
        }
    }
    return result;
}

QString SearchScopes::longestCommonPath(const QStringList& paths) {
    if (paths.isEmpty()) {
        return {};
    }
    if (paths.size() == 1) {
        return paths.first();
    }
    QStringList common = paths.first().split(u'/');
    for (const QString& path : paths) {
        const QStringList parts = path.split(u'/');
        qsizetype shared = 0;
        while (shared < common.size() && shared < parts.size() && common[shared] == parts[shared]) {
            ++shared;
        }
        common = common.mid(0, shared);
    }
    const QString joinedPath = common.join(u'/');
    return joinedPath.isEmpty() && paths.first().startsWith(u'/') ? QStringLiteral("/")
                                                                  : joinedPath;
}

bool SearchScopes::browseOrderLess(const QString& a, const QString& b) {
    const QString nameA = lastPathComponent(a);
    const QString nameB = lastPathComponent(b);
    if (nameA.size() <= 4 && nameB.size() <= 4) {
        const long numberA = leadingNumber(nameA);
        const long numberB = leadingNumber(nameB);
        if (numberA != 0 && numberB != 0) {
            return numberA < numberB;
        }
        if ((numberA != 0) != (numberB != 0)) {
            return numberA != 0;
        }
    }
    return nameB < nameA;
}

} // namespace tessaly
