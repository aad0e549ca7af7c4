#pragma once

#include <QString>

namespace tessaly {

// The private per-user folder for render-box folders, job files and messages split out of
// mailboxes: $XDG_RUNTIME_DIR/tessaly when the runtime folder is usable, else
// /tmp/tessaly-<uid>. It is created with mode 0700 and refused when another user owns it, when
// it is a symbolic link or when others may read it. Returns an empty string with a reason when
// no safe folder can be had.
QString privateRuntimeFolder(QString* error = nullptr);

} // namespace tessaly
