#pragma once

#include <QStringList>
#include <QTextStream>

namespace tessaly {

class PreferenceStore;

// `tessaly-cli account add|list|remove|folders|skip|unskip ...`: the stored IMAP accounts. An
// account is saved only after its server has listed its folders with the settings given;
// passwords go to the desktop's keyring only, never to a file. Returns 0 on success, 1 when
// the command failed or was used wrongly.
int runAccountCommand(const QStringList& arguments, PreferenceStore& store, QTextStream& out,
                      QTextStream& err);

} // namespace tessaly
