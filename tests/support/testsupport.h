#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

namespace tessaly::test {

// Files committed under tests/data.
QString dataFile(const QString& name);
QByteArray readDataFile(const QString& name);

// The shared sample corpus beside the repository, or empty when it is not there.
QString sharedCorpusDir();
// Every message file of the corpus (.eml, .emlx, .mbox and the rest), sorted.
QStringList sharedCorpusFiles();

// Writes a file, creating its folders; fails the test run when it cannot.
void writeFile(const QString& path, const QByteArray& data);
// A file's bytes, or empty when it cannot be read.
QByteArray readFile(const QString& path);

// Processes, as /proc shows them: a process's command line (arguments NUL-separated, empty
// when it is gone), every process's parent, and whether a process has ended (gone, or a
// zombie nobody reaps: the tests may run where no init process reaps orphans).
QByteArray processCommandLine(qint64 pid);
QHash<qint64, qint64> processParents();
bool processEnded(qint64 pid);

// Builds a message from lines joined with CR LF, as it comes off the wire.
QByteArray crlfMessage(const QByteArray& text);

} // namespace tessaly::test
