#pragma once

#include <QString>

namespace tessaly {

class PreferenceStore;

// A stored folder: what a lookup found under a key.
struct FolderLookup {
    // The folder's absolute path; "" when nothing is stored under the key.
    QString path;
    // The folder is there as a directory now. A folder on a drive that is not mounted is still
    // the one the user chose: it stays stored and is reported unreachable, so that nothing is
    // written into an empty mount point or quietly somewhere else.
    bool reachable = false;
    // Why an unreachable folder cannot be used, for the log and the user; "" when it can.
    QString reason;

    bool isSet() const { return !path.isEmpty(); }
    bool isUsable() const { return isSet() && reachable; }
};

// Folders the user chose once and the archiver uses later (the general destination, a
// source's own destination), kept in the preferences under a key K. On Linux a folder's
// bookmark is its absolute path, stored under K followed by "_bookmark". Earlier versions kept
// the plain path under K itself; such an entry is taken over on first lookup.
class URLBookmarkInPrefs {
public:
    static QString bookmarkKey(const QString& key);

    // Stores the folder under the key. Returns the stored path, or "" when the path is empty
    // (nothing is stored then). The folder need not exist: a drive may be unmounted for now.
    [[nodiscard]] static QString setURL(PreferenceStore& store, const QString& path,
                                        const QString& key);
    // The folder stored under the key, after taking over a plain path stored under K.
    static FolderLookup URLFromPrefsForKey(PreferenceStore& store, const QString& key);
    // The same without writing anything: a plain path under K is read as it is.
    static FolderLookup lookup(const PreferenceStore& store, const QString& key);
    // Turns a plain path stored under K into a bookmark entry; returns the stored path, or ""
    // when K holds none (or a bookmark entry exists already).
    static QString attemptBookmarkFix(PreferenceStore& store, const QString& key);
    // Forgets the folder: both K and K followed by "_bookmark".
    static void removeBookmarkForKeyBase(PreferenceStore& store, const QString& key);
};

} // namespace tessaly
