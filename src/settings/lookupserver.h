#pragma once

#include <QString>

namespace tessaly {

class LookupServer {
public:
    // The IMAP host of the address's provider, for filling in the server of a new account;
    // "" when the provider is unknown or offers no IMAP.
    static QString lookupServer(const QString& address);
};

} // namespace tessaly
