#pragma once

#include "platform/mail/mcomessageheader.h"

#include <QString>
#include <QStringList>

namespace tessaly {

// The keywords a message carries for its files' tags: "X-Keywords" and the "mailTagsKeyWords"
// of an "X-Mailtags" JSON object.
class MessageTags {
public:
    static QStringList keywordsOf(const MCOMessageHeader& header);
    static QStringList mailTagsOf(const MCOMessageHeader& header);
    // Sets the file's tags to the message's keywords when it has any; failures are ignored, as
    // tags are an extra.
    // Whether the tags could be written (a message without tags needs none).
    [[nodiscard]] static bool addAppleTags(const MCOMessageHeader& header, const QString& path);
};

} // namespace tessaly
