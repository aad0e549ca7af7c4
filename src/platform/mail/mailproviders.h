#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace tessaly {

// A mail provider known by the domain of its addresses.
struct MailProvider {
    QString identifier;
    // Its IMAP servers, preferred first; empty when it offers no IMAP of its own (Proton's
    // Bridge, say, runs on the user's machine).
    QStringList imapHostnames;
};

// The provider of the address's domain, matched without regard to letter case; none for a
// domain the built-in table does not know (a company's own server, say).
std::optional<MailProvider> providerForEmail(const QString& address);

} // namespace tessaly
