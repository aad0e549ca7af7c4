#pragma once

#include "platform/mail/imapsession.h"

#include <QString>

namespace tessaly {

// The server string an account stores: a host, optionally followed by ":" and a port and by
// ":" and a security word ("imap.example.com:143:starttls"). The string is split on every ":";
// parts after the third are ignored. The IMAP job reads it with the same three operations.
class Utils {
public:
    // The first part; "" for "".
    static QString serverNameFromServerString(const QString& serverString);
    // 993 without a second part; otherwise the integer its text starts with (leading white
    // space and a sign allowed), 0 when it starts with no digit.
    static int serverPortFromServerString(const QString& serverString);
    // From the third part, in any letter case: "clear", "nossl" and "notls" mean clear text,
    // "starttls" STARTTLS; anything else, and no third part, TLS.
    static ImapConnectionType useSSLFromServerString(const QString& serverString);
};

} // namespace tessaly
