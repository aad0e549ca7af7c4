#pragma once

#include <QStringList>
#include <QTextStream>

namespace tessaly {

// `tessaly-cli verify DIR`: checks every archive ledger under DIR. Prints "missing<TAB>PATH"
// and "changed<TAB>PATH" for each file that does not hold, then a summary line. Returns 0 when
// everything holds, 2 when something differs, 1 on an error of use.
int runVerifyCommand(const QStringList& arguments, QTextStream& out, QTextStream& err);

} // namespace tessaly
