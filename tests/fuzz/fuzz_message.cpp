// libFuzzer target: any bytes through the message parser, its parts and the HTML rendering.
#include "platform/mail/mcomessageparser.h"
#include "render/mcohtmlrenderer.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray raw(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    tessaly::MCOMessageParser parser(raw);
    (void)parser.header().description();
    for (const tessaly::MCOAttachment& part : parser.attachments()) {
        (void)parser.partForUniqueID(part.uniqueID);
    }
    (void)tessaly::htmlRenderingWithDelegate(parser, nullptr);
    return 0;
}
