#pragma once

#include <QStringList>
#include <QTextStream>

namespace tessaly {

class PreferenceStore;

// `tessaly-cli paths [--options FILE] MESSAGE...`: prints the paths the archiver would write
// for each message and creates nothing. Returns the exit status.
int runPathsCommand(const QStringList& arguments, PreferenceStore& store, QTextStream& out,
                    QTextStream& err);

} // namespace tessaly
