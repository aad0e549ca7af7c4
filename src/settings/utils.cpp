#include "settings/utils.h"

#include <limits>

namespace tessaly {

namespace {

// As strtol reads a decimal number, held to int's range the way a number too large for it is.
int leadingInteger(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    qint64 value = 0;
    constexpr qint64 limit = qint64(std::numeric_limits<int>::max()) + 1;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = std::min(value * 10 + (text[i].unicode() - u'0'), limit);
    }
    value = negative ? -value : value;
    return static_cast<int>(std::clamp<qint64>(value, std::numeric_limits<int>::min(),
                                               std::numeric_limits<int>::max()));
}

} // namespace

QString Utils::serverNameFromServerString(const QString& serverString) {
    return serverString.section(u':', 0, 0);
}

int Utils::serverPortFromServerString(const QString& serverString) {
    const QList<QStringView> parts = QStringView(serverString).split(u':');
    if (parts.size() < 2) {
        return kImapTlsPort;
    }
    return leadingInteger(parts[1]);
}

ImapConnectionType Utils::useSSLFromServerString(const QString& serverString) {
    const QList<QStringView> parts = QStringView(serverString).split(u':');
    if (parts.size() < 3) {
        return ImapConnectionType::Tls;
    }
    const QString word = parts[2].toString().toLower();
    if (word == u"clear" || word == u"nossl" || word == u"notls") {
        return ImapConnectionType::Clear;
    }
    if (word == u"starttls") {
        return ImapConnectionType::StartTls;
    }
    return ImapConnectionType::Tls;
}

} // namespace tessaly
