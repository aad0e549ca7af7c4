#pragma once

#include <QByteArrayView>
#include <QString>

namespace tessaly {

// Header bytes that arrive without a declared charset: valid UTF-8 is read as UTF-8, anything
// else as Windows-1252, the charset such mailers almost always meant.
QString decodeUnlabelledBytes(QByteArrayView bytes);

bool isValidUtf8(QByteArrayView bytes);

QString decodeWindows1252(QByteArrayView bytes);

// Joins folded header lines into one line and trims the ends.
QByteArray unfoldHeaderValue(QByteArrayView raw);

} // namespace tessaly
