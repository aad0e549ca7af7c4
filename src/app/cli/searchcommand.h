#pragma once

#include <QStringList>
#include <QTextStream>

namespace tessaly {

class PreferenceStore;

// `tessaly-cli search [--subject TEXT] [--address TEXT] [--everywhere TEXT] [--in FOLDER]
// [--json] [--print-query]`: searches the archive as the search view does and prints one
// matching path per line, newest first (with --json one object per line with its title,
// authors, date and kind). When the index finds nothing, the archive's folders are walked by
// name and tags instead. --print-query prints the query string and the walk's strings and
// searches nothing. Returns 0 when something was found, 2 when nothing was, 1 on an error.
int runSearchCommand(const QStringList& arguments, const PreferenceStore& store, QTextStream& out,
                     QTextStream& err);

} // namespace tessaly
