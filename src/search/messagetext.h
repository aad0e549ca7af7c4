#pragma once

#include <QString>

namespace tessaly {

class MCOMessageParser;

// The words a message is found by, taken from the message itself while it is archived: the
// header lines its page shows and the text of its body, without markup. Reading them from the
// message is exact and cheap where reading them back out of the PDF is neither.
class MessageText {
public:
    // Subject, From, To and Cc, then each text part the page shows as the body, chosen as the
    // page chooses (of alternatives, the HTML one), HTML without tags, scripts and styles;
    // attachments are left out. Runs of white space become one. Cut at `maxChars`.
    static QString of(const MCOMessageParser& message, qsizetype maxChars);

    // HTML as the text a reader sees: tags and comments gone, block ends as line breaks,
    // character references decoded.
    static QString htmlToText(QStringView html);
};

} // namespace tessaly
