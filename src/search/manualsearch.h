#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

namespace tessaly {

// The slow way to search: a walk over the archive's folders that tests every entry's name and
// tags. It serves when the index finds nothing or cannot be used. Runs on any thread; it
// touches nothing but the file system.
class ManualSearch {
public:
    // A file's name (as shown) and its tag names in, whether it matches out.
    using Matcher = std::function<bool(const QString& fileName, const QStringList& tags)>;

    // The walk stops once it has found more than this many.
    static constexpr int kMaxItems = 1000;

    // Every entry below the scopes (hidden ones and their contents skipped) that matches, in
    // walk order. `cancelled`, when given, ends the walk early.
    static QStringList searchOnThread(const QStringList& scopes, const Matcher& matches,
                                      const std::atomic<bool>* cancelled = nullptr);
};

} // namespace tessaly
