#include "platform/mail/mailproviders.h"

#include <array>

namespace tessaly {

namespace {

struct ProviderEntry {
    const char* identifier;
    // Exact domains; "name.*" stands for the name under any top-level domain ("yahoo.co.uk").
    std::initializer_list<const char*> domains;
    const char* imapHost; // empty: no IMAP
};

// Only the big free-mail services whose servers are documented and stable. Exact domains are
// matched before the "name.*" families, so a family may have exceptions.
const std::array kProviders = {
    ProviderEntry{"gmail", {"gmail.com", "googlemail.com"}, "imap.gmail.com"},
    ProviderEntry{"outlook",
                  {"outlook.com", "outlook.de", "outlook.fr", "hotmail.com", "hotmail.co.uk",
                   "hotmail.de", "hotmail.fr", "hotmail.it", "hotmail.es", "live.com", "live.co.uk",
                   "live.de", "live.fr", "msn.com"},
                  "outlook.office365.com"},
    ProviderEntry{"yahoo.co.jp", {"yahoo.co.jp"}, "imap.mail.yahoo.co.jp"},
    ProviderEntry{"yahoo", {"yahoo.*", "ymail.com", "rocketmail.com"}, "imap.mail.yahoo.com"},
    ProviderEntry{"att", {"att.net"}, "imap.mail.att.net"},
    ProviderEntry{"icloud", {"icloud.com", "me.com", "mac.com"}, "imap.mail.me.com"},
    ProviderEntry{"aol", {"aol.com", "aim.com"}, "imap.aol.com"},
    ProviderEntry{"gmx.com", {"gmx.com"}, "imap.gmx.com"},
    ProviderEntry{"gmx", {"gmx.*"}, "imap.gmx.net"},
    ProviderEntry{"web.de", {"web.de"}, "imap.web.de"},
    ProviderEntry{"mail.com", {"mail.com"}, "imap.mail.com"},
    ProviderEntry{"mail.ru", {"mail.ru", "inbox.ru", "list.ru", "bk.ru"}, "imap.mail.ru"},
    ProviderEntry{"yandex", {"yandex.*", "ya.ru"}, "imap.yandex.com"},
    ProviderEntry{"rambler", {"rambler.ru"}, "imap.rambler.ru"},
    ProviderEntry{"zoho", {"zoho.com", "zohomail.com"}, "imap.zoho.com"},
    ProviderEntry{"zoho.eu", {"zoho.eu", "zohomail.eu"}, "imap.zoho.eu"},
    ProviderEntry{"fastmail", {"fastmail.com", "fastmail.fm"}, "imap.fastmail.com"},
    ProviderEntry{"proton", {"protonmail.com", "protonmail.ch", "proton.me", "pm.me"}, ""},
    ProviderEntry{"tutanota", {"tutanota.com", "tutanota.de", "tuta.io", "tuta.com"}, ""},
    ProviderEntry{"posteo", {"posteo.de", "posteo.net"}, "posteo.de"},
    ProviderEntry{"mailbox.org", {"mailbox.org"}, "imap.mailbox.org"},
    ProviderEntry{"t-online", {"t-online.de"}, "secureimap.t-online.de"},
    ProviderEntry{"free.fr", {"free.fr"}, "imap.free.fr"},
    ProviderEntry{"orange", {"orange.fr", "wanadoo.fr"}, "imap.orange.fr"},
    ProviderEntry{"sfr", {"sfr.fr"}, "imap.sfr.fr"},
    ProviderEntry{"laposte", {"laposte.net"}, "imap.laposte.net"},
    ProviderEntry{"libero", {"libero.it"}, "imapmail.libero.it"},
    ProviderEntry{"seznam", {"seznam.cz"}, "imap.seznam.cz"},
    ProviderEntry{"comcast", {"comcast.net"}, "imap.comcast.net"},
    ProviderEntry{"qq", {"qq.com"}, "imap.qq.com"},
    ProviderEntry{"163", {"163.com"}, "imap.163.com"},
    ProviderEntry{"126", {"126.com"}, "imap.126.com"},
    ProviderEntry{"yeah.net", {"yeah.net"}, "imap.yeah.net"},
    ProviderEntry{"naver", {"naver.com"}, "imap.naver.com"},
};

MailProvider toProvider(const ProviderEntry& entry) {
    MailProvider provider{QString::fromLatin1(entry.identifier), {}};
    if (*entry.imapHost) {
        provider.imapHostnames.append(QString::fromLatin1(entry.imapHost));
    }
    return provider;
}

// What may follow a family's name: a top-level domain ("de"), or one under a country's
// commercial second level ("co.uk", "com.au"). "yahoo.example.com" is somebody else's server.
bool isTopLevelPart(QStringView rest) {
    const QList<QStringView> labels = rest.split(u'.');
    if (labels.size() > 2) {
        return false;
    }
    for (QStringView label : labels) {
        if (label.isEmpty()) {
            return false;
        }
        for (QChar c : label) {
            if (!(c >= u'a' && c <= u'z')) {
                return false;
            }
        }
    }
    static const QStringList secondLevels = {QStringLiteral("co"), QStringLiteral("com"),
                                             QStringLiteral("net"), QStringLiteral("ne"),
                                             QStringLiteral("or")};
    return labels.size() == 1 || secondLevels.contains(labels.first());
}

} // namespace

std::optional<MailProvider> providerForEmail(const QString& address) {
    const qsizetype at = address.lastIndexOf(u'@');
    if (at < 0) {
        return std::nullopt;
    }
    QString domain = address.mid(at + 1).trimmed().toLower();
    if (domain.endsWith(u'.')) {
        domain.chop(1); // the root label, "gmail.com."
    }
    if (domain.isEmpty()) {
        return std::nullopt;
    }
    for (const ProviderEntry& entry : kProviders) {
        for (const char* pattern : entry.domains) {
            if (domain == QLatin1StringView(pattern)) {
                return toProvider(entry);
            }
        }
    }
    for (const ProviderEntry& entry : kProviders) {
        for (const char* pattern : entry.domains) {
            const QLatin1StringView family(pattern);
            if (!family.endsWith(QLatin1StringView(".*"))) {
                continue;
            }
            const QLatin1StringView stem = family.chopped(1); // "yahoo."
            if (domain.startsWith(stem) && isTopLevelPart(QStringView(domain).mid(stem.size()))) {
                return toProvider(entry);
            }
        }
    }
    return std::nullopt;
}

} // namespace tessaly
