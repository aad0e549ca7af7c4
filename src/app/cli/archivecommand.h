#pragma once

#include <QStringList>
#include <QTextStream>

namespace tessaly {

class PreferenceStore;

// `tessaly-cli archive [--dest DIR] [--options FILE] [--json] PATH...`: archives the paths as an
// EML job, exactly as files dropped on the application are, through render boxes, and prints
// the job's progress and a summary. Returns the exit status: 0 when every message ended
// archived, 2 when any did not, 1 on an error of use or when the job could not start or could
// not run at all. SIGINT, SIGTERM or SIGHUP cancels the job: its boxes end, the summary ends in
// "; Cancelled" (status "Cancelled" in JSON) and the status is 128 + the signal's number; a
// second signal ends the process at once.
int runArchiveCommand(const QStringList& arguments, PreferenceStore& store, QTextStream& out,
                      QTextStream& err);

} // namespace tessaly
