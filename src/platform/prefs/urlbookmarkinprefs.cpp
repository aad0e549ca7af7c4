#include "platform/prefs/urlbookmarkinprefs.h"

#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"

#include <QDir>
#include <QFileInfo>

namespace tessaly {

namespace {

QString absoluteFolderPath(const QString& path) {
    return path.isEmpty() ? QString() : QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

FolderLookup checked(const QString& path) {
    FolderLookup found;
    found.path = path;
    if (path.isEmpty()) {
        return found;
    }
    found.reachable = QFileInfo(path).isDir();
    if (!found.reachable) {
        found.reason = QStringLiteral("volume or path does not appear to be mounted %1").arg(path);
    }
    return found;
}

} // namespace

QString URLBookmarkInPrefs::bookmarkKey(const QString& key) {
    return key + prefkeys::bookmarkSuffix;
}

QString URLBookmarkInPrefs::setURL(PreferenceStore& store, const QString& path,
                                   const QString& key) {
    const QString folder = absoluteFolderPath(path);
    if (folder.isEmpty()) {
        return {};
    }
    store.setValue(bookmarkKey(key), folder);
    return folder;
}

FolderLookup URLBookmarkInPrefs::URLFromPrefsForKey(PreferenceStore& store, const QString& key) {
    attemptBookmarkFix(store, key);
    return lookup(store, key);
}

FolderLookup URLBookmarkInPrefs::lookup(const PreferenceStore& store, const QString& key) {
    const QString bookmark = store.stringValue(bookmarkKey(key));
    if (!bookmark.isEmpty()) {
        return checked(bookmark);
    }
    return checked(absoluteFolderPath(store.stringValue(key)));
}

QString URLBookmarkInPrefs::attemptBookmarkFix(PreferenceStore& store, const QString& key) {
    if (!store.stringValue(bookmarkKey(key)).isEmpty()) {
        return {};
    }
    const QString legacy = store.stringValue(key);
    if (legacy.isEmpty()) {
        return {};
    }
    return setURL(store, legacy, key);
}

void URLBookmarkInPrefs::removeBookmarkForKeyBase(PreferenceStore& store, const QString& key) {
    store.remove(key);
    store.remove(bookmarkKey(key));
}

} // namespace tessaly
