#pragma once

#include <QString>

namespace tessaly {

// The last component of a path or source key, trailing slashes ignored ("/a/b/" gives "b", an
// address gives itself, "/" gives "").
inline QString lastPathComponent(const QString& path) {
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(u'/')) {
        trimmed.chop(1);
    }
    return trimmed.section(u'/', -1);
}

} // namespace tessaly
