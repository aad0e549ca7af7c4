#pragma once

#include <QByteArray>
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

// Builds a message from lines joined with CR LF, as it comes off the wire.
QByteArray crlfMessage(const QByteArray& text);

} // namespace tessaly::test
