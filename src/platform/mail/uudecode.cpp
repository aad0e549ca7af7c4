#include "platform/mail/uudecode.h"

#include <gmime/gmime.h>

namespace tessaly {

QByteArray uudecode(QByteArrayView lines) {
    // Four characters give three bytes, so the output never outgrows the input.
    QByteArray decoded(lines.size(), Qt::Uninitialized);
    int state = 0;
    guint32 bits = 0;
    const size_t n = g_mime_encoding_uudecode_step(
        reinterpret_cast<const unsigned char*>(lines.data()), static_cast<size_t>(lines.size()),
        reinterpret_cast<unsigned char*>(decoded.data()), &state, &bits);
    decoded.truncate(static_cast<qsizetype>(n));
    return decoded;
}

} // namespace tessaly
