#include "platform/mail/imaputf7.h"

namespace tessaly {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == ',')
        return 63;
    return -1;
}

bool isDirect(char16_t c) {
    return c >= 0x20 && c <= 0x7e;
}

void appendShifted(QByteArray& out, const char16_t* begin, const char16_t* end) {
    out.append('&');
    quint32 bits = 0;
    int count = 0;
    for (const char16_t* unit = begin; unit != end; ++unit) {
        bits = (bits << 16) | *unit;
        count += 16;
        while (count >= 6) {
            count -= 6;
            out.append(kAlphabet[(bits >> count) & 0x3f]);
        }
    }
    if (count > 0)
        out.append(kAlphabet[(bits << (6 - count)) & 0x3f]);
    out.append('-');
}

} // namespace

QByteArray encodeImapUtf7(const QString& name) {
    QByteArray out;
    out.reserve(name.size());
    const char16_t* data = reinterpret_cast<const char16_t*>(name.utf16());
    const qsizetype size = name.size();
    qsizetype i = 0;
    while (i < size) {
        const char16_t c = data[i];
        if (c == u'&') {
            out.append("&-");
            ++i;
        } else if (isDirect(c)) {
            out.append(static_cast<char>(c));
            ++i;
        } else {
            qsizetype end = i;
            while (end < size && !isDirect(data[end]))
                ++end;
            appendShifted(out, data + i, data + end);
            i = end;
        }
    }
    return out;
}

std::optional<QString> decodeImapUtf7(QByteArrayView name) {
    QString out;
    out.reserve(name.size());
    qsizetype i = 0;
    while (i < name.size()) {
        const char c = name[i];
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            return std::nullopt;
        if (c != '&') {
            out.append(QLatin1Char(c));
            ++i;
            continue;
        }
        ++i;
        if (i < name.size() && name[i] == '-') {
            out.append(QLatin1Char('&'));
            ++i;
            continue;
        }
        quint32 bits = 0;
        int count = 0;
        QString run;
        while (i < name.size() && name[i] != '-') {
            const int value = base64Value(name[i]);
            if (value < 0)
                return std::nullopt;
            bits = (bits << 6) | static_cast<quint32>(value);
            count += 6;
            if (count >= 16) {
                count -= 16;
                run.append(QChar(static_cast<char16_t>((bits >> count) & 0xffff)));
            }
            ++i;
        }
        // An unterminated run, leftover bits that are not zero padding, or a run that decodes
        // to nothing are not something a well-behaved server sends.
        if (i >= name.size() || count >= 6 || (bits & ((1u << count) - 1)) != 0 || run.isEmpty())
            return std::nullopt;
        ++i;
        for (qsizetype k = 0; k < run.size(); ++k) {
            const QChar unit = run.at(k);
            if (unit.isHighSurrogate()) {
                if (k + 1 >= run.size() || !run.at(k + 1).isLowSurrogate())
                    return std::nullopt;
                ++k;
            } else if (unit.isLowSurrogate()) {
                return std::nullopt;
            }
        }
        out.append(run);
    }
    return out;
}

} // namespace tessaly
