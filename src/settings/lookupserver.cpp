#include "settings/lookupserver.h"

#include "platform/mail/mailproviders.h"

namespace tessaly {

QString LookupServer::lookupServer(const QString& address) {
    const std::optional<MailProvider> provider = providerForEmail(address);
    if (!provider) {
        return {};
    }
    for (const QString& host : provider->imapHostnames) {
        if (!host.isEmpty()) {
            return host;
        }
    }
    return {};
}

} // namespace tessaly
