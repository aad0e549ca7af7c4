#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace tessaly {

// The bytes of one uuencoded block: `lines` are the encoded lines between its "begin MODE NAME"
// line and its "end" line. Lines that are not uuencoded decode to nothing.
QByteArray uudecode(QByteArrayView lines);

} // namespace tessaly
