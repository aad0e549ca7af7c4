#pragma once

#include <QStringList>
#include <QTextStream>

namespace tessaly {

class PreferenceStore;

// `tessaly-cli index [--rebuild] [ROOT...]`: brings the archive index up to date for the roots
// (the stored archive roots when none are given), with progress on stderr, then prints
// "indexed N files: added A, updated U, removed R". A root that is not there keeps its files in
// the index and is named on stderr. Returns 0 when every root was indexed, 2 when a root was
// not reachable or the run was interrupted, 1 on an error of use or of the index.
int runIndexCommand(const QStringList& arguments, const PreferenceStore& store, QTextStream& out,
                    QTextStream& err);

} // namespace tessaly
