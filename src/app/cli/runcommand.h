#pragma once

#include <QStringList>
#include <QTextStream>

namespace tessaly {

class PreferenceStore;

// `tessaly-cli run [--dest DIR] [--json] [SOURCE...]`: archives stored sources (every account
// and folder source when none is named) through the job list, as many at once as the settings
// allow, with progress on stderr and one summary line (or JSON object) per job. Returns 0 when
// everything was archived, 2 when something was not (a source that could not start included),
// 1 on an error of use. SIGINT, SIGTERM or SIGHUP cancels every job; the status is then
// 128 + the signal's number.
int runRunCommand(const QStringList& arguments, PreferenceStore& store, QTextStream& out,
                  QTextStream& err);

} // namespace tessaly
