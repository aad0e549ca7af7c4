#include "render/lenientdateparser.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>

namespace tessaly {

namespace {

struct Fields {
    int year = -1;
    int month = -1;
    int day = -1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool haveTime = false;
    int offsetSeconds = 0;
    bool haveZone = false;
};

QString withoutComments(QStringView text) {
    QString out;
    int depth = 0;
    for (QChar c : text) {
        if (c == u'(') {
            ++depth;
        } else if (c == u')' && depth > 0) {
            --depth;
        } else if (depth == 0) {
            out += c;
        }
    }
    return out;
}

int monthFromName(const QString& token) {
    static const char* names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                  "jul", "aug", "sep", "oct", "nov", "dec"};
    const QString lower = token.toLower();
    if (lower.size() < 3) {
        return -1;
    }
    for (int i = 0; i < 12; ++i) {
        if (lower.startsWith(QLatin1String(names[i]))) {
            // "Sept", "September" and "Jan." are fine; "Janx" is not.
            static const char* full[] = {"january",   "february", "march",    "april",
                                         "may",       "june",     "july",     "august",
                                         "september", "october",  "november", "december"};
            const QString bare = lower.endsWith(u'.') ? lower.chopped(1) : lower;
            if (QLatin1String(full[i]).startsWith(bare) || bare == u"sept") {
                return i + 1;
            }
        }
    }
    return -1;
}

bool isDayName(const QString& token) {
    static const QStringList days = {
        QStringLiteral("mon"), QStringLiteral("tue"), QStringLiteral("wed"), QStringLiteral("thu"),
        QStringLiteral("fri"), QStringLiteral("sat"), QStringLiteral("sun")};
    static const QStringList full = {QStringLiteral("monday"),    QStringLiteral("tuesday"),
                                     QStringLiteral("wednesday"), QStringLiteral("thursday"),
                                     QStringLiteral("friday"),    QStringLiteral("saturday"),
                                     QStringLiteral("sunday"),    QStringLiteral("tues"),
                                     QStringLiteral("thur"),      QStringLiteral("thurs")};
    QString lower = token.toLower();
    if (lower.endsWith(u'.')) {
        lower.chop(1);
    }
    return days.contains(lower) || full.contains(lower);
}

// Obsolete zone names of RFC 822 and the military letters, which RFC 5322 says carry no
// information (so they read as UTC).
std::optional<int> zoneFromName(const QString& token) {
    const QString upper = token.toUpper();
    static const QHash<QString, int> hours = {
        {QStringLiteral("UT"), 0},   {QStringLiteral("UTC"), 0},  {QStringLiteral("GMT"), 0},
        {QStringLiteral("Z"), 0},    {QStringLiteral("EST"), -5}, {QStringLiteral("EDT"), -4},
        {QStringLiteral("CST"), -6}, {QStringLiteral("CDT"), -5}, {QStringLiteral("MST"), -7},
        {QStringLiteral("MDT"), -6}, {QStringLiteral("PST"), -8}, {QStringLiteral("PDT"), -7},
        {QStringLiteral("BST"), 1},  {QStringLiteral("CET"), 1},  {QStringLiteral("CEST"), 2},
        {QStringLiteral("MET"), 1},  {QStringLiteral("MEST"), 2}, {QStringLiteral("EET"), 2},
        {QStringLiteral("EEST"), 3}, {QStringLiteral("JST"), 9},
    };
    if (auto it = hours.find(upper); it != hours.end()) {
        return *it * 3600;
    }
    if (upper.size() == 1 && upper[0].isLetter() && upper[0] != u'J') {
        return 0;
    }
    return std::nullopt;
}

// "+0100", "-05:00", "+01", and with a time already read, an unsigned "0000".
std::optional<int> numericZone(QStringView token, bool allowUnsigned) {
    int sign = 1;
    if (token.startsWith(u'+') || token.startsWith(u'-')) {
        sign = token.startsWith(u'-') ? -1 : 1;
        token = token.mid(1);
    } else if (!allowUnsigned || token.size() != 4) {
        return std::nullopt;
    }
    QString digits = token.toString();
    digits.remove(u':');
    bool ok = false;
    const int value = digits.toInt(&ok);
    if (!ok || digits.isEmpty()) {
        return std::nullopt;
    }
    int h = 0;
    int m = 0;
    if (digits.size() <= 2) {
        h = value;
    } else if (digits.size() == 4) {
        h = value / 100;
        m = value % 100;
    } else {
        return std::nullopt;
    }
    if (h > 14 || m > 59) {
        return std::nullopt;
    }
    return sign * (h * 3600 + m * 60);
}

bool readTime(const QString& token, Fields& f) {
    static const QRegularExpression re(
        QStringLiteral("^(\\d{1,2}):(\\d{2})(?::(\\d{2})(?:[.,]\\d+)?)?(am|pm)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = re.match(token);
    if (!match.hasMatch()) {
        return false;
    }
    f.hour = match.captured(1).toInt();
    f.minute = match.captured(2).toInt();
    f.second = match.capturedLength(3) ? match.captured(3).toInt() : 0;
    const QString meridiem = match.captured(4).toLower();
    if (meridiem == u"pm" && f.hour < 12) {
        f.hour += 12;
    } else if (meridiem == u"am" && f.hour == 12) {
        f.hour = 0;
    }
    f.haveTime = true;
    return true;
}

int widenYear(const QString& digits) {
    const int year = digits.toInt();
    if (digits.size() == 2) {
        return year < 50 ? 2000 + year : 1900 + year;
    }
    if (digits.size() == 3) {
        return 1900 + year;
    }
    return year;
}

std::optional<QDateTime> build(const Fields& f) {
    if (f.year < 1 || f.year > 9999 || f.month < 1 || f.day < 1) {
        return std::nullopt;
    }
    const QDate date(f.year, f.month, f.day);
    // A leap second is read as the last second of its minute.
    const QTime time(f.hour, f.minute, std::min(f.second, 59));
    if (!date.isValid() || !time.isValid()) {
        return std::nullopt;
    }
    return QDateTime(date, time, Qt::UTC).addSecs(-f.offsetSeconds);
}

std::optional<QDateTime> parseIso(const QString& text) {
    static const QRegularExpression re(
        QStringLiteral("^(\\d{4})-(\\d{1,2})-(\\d{1,2})(?:[T ]+(\\d{1,2}):(\\d{2})"
                       "(?::(\\d{2})(?:[.,]\\d+)?)?)?\\s*(Z|[+-]\\d{2}(?::?\\d{2})?|UTC|GMT)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const auto match = re.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    Fields f;
    f.year = match.captured(1).toInt();
    f.month = match.captured(2).toInt();
    f.day = match.captured(3).toInt();
    if (match.capturedLength(4)) {
        f.hour = match.captured(4).toInt();
        f.minute = match.captured(5).toInt();
        f.second = match.capturedLength(6) ? match.captured(6).toInt() : 0;
    }
    const QString zone = match.captured(7);
    if (!zone.isEmpty()) {
        if (auto named = zoneFromName(zone)) {
            f.offsetSeconds = *named;
        } else if (auto numeric = numericZone(zone, false)) {
            f.offsetSeconds = *numeric;
        }
    }
    return build(f);
}

} // namespace

std::optional<QDateTime> parseLenientDate(QStringView input) {
    const QString text = withoutComments(input).simplified();
    if (text.isEmpty()) {
        return std::nullopt;
    }
    if (auto iso = parseIso(text)) {
        return iso;
    }

    QString spaced = text;
    spaced.replace(u',', u' ');
    const QStringList tokens = spaced.split(u' ', Qt::SkipEmptyParts);
    Fields f;
    for (const QString& raw : tokens) {
        const QString token = raw.endsWith(u'.') && raw.size() > 1 ? raw.chopped(1) : raw;
        if (!f.haveTime && readTime(token, f)) {
            continue;
        }
        if ((token.startsWith(u'+') || token.startsWith(u'-')) && !f.haveZone) {
            if (auto zone = numericZone(token, false)) {
                f.offsetSeconds = *zone;
                f.haveZone = true;
                continue;
            }
            // "-0800" may also glue onto a zone name, as in "GMT-0800"; anything else is noise.
            continue;
        }
        if (f.haveTime && (token.compare(u"am", Qt::CaseInsensitive) == 0 ||
                           token.compare(u"pm", Qt::CaseInsensitive) == 0)) {
            const bool pm = token.compare(u"pm", Qt::CaseInsensitive) == 0;
            if (pm && f.hour < 12) {
                f.hour += 12;
            } else if (!pm && f.hour == 12) {
                f.hour = 0;
            }
            continue;
        }
        if (token.front().isDigit()) {
            bool ok = false;
            const int number = token.toInt(&ok);
            if (!ok) {
                // "1st", "2nd": a day with an ordinal suffix.
                static const QRegularExpression ordinal(QStringLiteral("^(\\d{1,2})(st|nd|rd|th)$"),
                                                        QRegularExpression::CaseInsensitiveOption);
                const auto match = ordinal.match(token);
                if (match.hasMatch() && f.day < 0) {
                    f.day = match.captured(1).toInt();
                    continue;
                }
                return std::nullopt;
            }
            if (f.haveTime && !f.haveZone && token.size() == 4 && f.year >= 0) {
                if (auto zone = numericZone(token, true)) {
                    f.offsetSeconds = *zone;
                    f.haveZone = true;
                    continue;
                }
            }
            if (token.size() >= 3 || number > 31) {
                if (f.year >= 0) {
                    return std::nullopt;
                }
                f.year = widenYear(token);
            } else if (f.day < 0) {
                f.day = number;
            } else if (f.year < 0) {
                f.year = widenYear(token);
            } else {
                return std::nullopt;
            }
            continue;
        }
        if (const int month = monthFromName(token); month > 0 && f.month < 0) {
            f.month = month;
            continue;
        }
        if (isDayName(token)) {
            continue;
        }
        if (!f.haveZone) {
            QString name = token;
            QString tail;
            const qsizetype sign = std::max(token.indexOf(u'+'), token.indexOf(u'-'));
            if (sign > 0) {
                name = token.left(sign);
                tail = token.mid(sign);
            }
            if (auto zone = zoneFromName(name)) {
                f.offsetSeconds = *zone;
                if (!tail.isEmpty()) {
                    if (auto extra = numericZone(tail, false)) {
                        f.offsetSeconds += *extra;
                    }
                }
                f.haveZone = true;
                continue;
            }
        }
        // An unknown word means this is not a date we can trust ("Pn, 29 paX 2007").
        return std::nullopt;
    }
    return build(f);
}

} // namespace tessaly
