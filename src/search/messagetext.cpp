#include "search/messagetext.h"

#include "platform/mail/mcomessageparser.h"
#include "platform/mail/mimetree.h"
#include "platform/mail/textdecoding.h"

#include <QHash>

#include <array>

namespace tessaly {

namespace {

// The Latin-1 range of named references, in code point order from U+00A0: mail written by
// European mailers spells its accents this way.
constexpr std::array<const char*, 96> kLatin1Names = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};

const QHash<QString, char32_t>& namedReferences() {
    static const QHash<QString, char32_t> names = [] {
        QHash<QString, char32_t> table{
            {QStringLiteral("amp"), U'&'},         {QStringLiteral("lt"), U'<'},
            {QStringLiteral("gt"), U'>'},          {QStringLiteral("quot"), U'"'},
            {QStringLiteral("apos"), U'\''},       {QStringLiteral("hellip"), U'\u2026'},
            {QStringLiteral("ndash"), U'\u2013'},  {QStringLiteral("mdash"), U'\u2014'},
            {QStringLiteral("lsquo"), U'\u2018'},  {QStringLiteral("rsquo"), U'\u2019'},
            {QStringLiteral("ldquo"), U'\u201C'},  {QStringLiteral("rdquo"), U'\u201D'},
            {QStringLiteral("bull"), U'\u2022'},   {QStringLiteral("euro"), U'\u20AC'},
            {QStringLiteral("trade"), U'\u2122'},  {QStringLiteral("zwnj"), U'\u200C'},
            {QStringLiteral("OElig"), U'\u0152'},  {QStringLiteral("oelig"), U'\u0153'},
            {QStringLiteral("Scaron"), U'\u0160'}, {QStringLiteral("scaron"), U'\u0161'}};
        for (std::size_t i = 0; i < kLatin1Names.size(); ++i) {
            table.insert(QString::fromLatin1(kLatin1Names[i]), char32_t(0xA0 + i));
        }
        return table;
    }();
    return names;
}

// Tags after which a reader sees a new line: without one, "a</td><td>b" would read "ab".
bool endsBlock(QStringView name) {
    static const QStringList blocks = {
        QStringLiteral("br"), QStringLiteral("p"),       QStringLiteral("div"),
        QStringLiteral("tr"), QStringLiteral("td"),      QStringLiteral("th"),
        QStringLiteral("li"), QStringLiteral("table"),   QStringLiteral("blockquote"),
        QStringLiteral("h1"), QStringLiteral("h2"),      QStringLiteral("h3"),
        QStringLiteral("h4"), QStringLiteral("h5"),      QStringLiteral("h6"),
        QStringLiteral("hr"), QStringLiteral("pre"),     QStringLiteral("ul"),
        QStringLiteral("ol"), QStringLiteral("title"),   QStringLiteral("dd"),
        QStringLiteral("dt"), QStringLiteral("address"), QStringLiteral("section")};
    return blocks.contains(name, Qt::CaseInsensitive);
}

// Decodes the reference starting at `html[at]` ('&'); returns how many characters it took, 0
// when it is no reference (the '&' is then kept as text).
qsizetype appendReference(QStringView html, qsizetype at, QString& out) {
    // References are short: looking further for the ';' would make "&&&…" quadratic.
    const qsizetype length = html.mid(at + 1, 12).indexOf(u';');
    if (length < 0) {
        return 0;
    }
    const QStringView body = html.mid(at + 1, length);
    char32_t code = 0;
    if (body.startsWith(u'#')) {
        bool ok = false;
        const bool hex = body.size() > 1 && (body[1] == u'x' || body[1] == u'X');
        const uint value = hex ? body.mid(2).toUInt(&ok, 16) : body.mid(1).toUInt(&ok, 10);
        if (!ok || value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return 0;
        }
        code = value;
    } else {
        const auto found = namedReferences().constFind(body.toString());
        if (found == namedReferences().constEnd()) {
            return 0;
        }
        code = *found;
    }
    out.append(code == 0xA0 ? QString(u' ') : QString::fromUcs4(&code, 1));
    return length + 2;
}

class TextCollector {
public:
    explicit TextCollector(qsizetype maxChars)
        : m_max(maxChars) {}

    bool full() const { return m_text.size() >= m_max; }

    void add(QStringView text) {
        if (full()) {
            return;
        }
        // One space for every run of white space keeps the index small and phrases whole.
        bool space = !m_text.isEmpty() && m_text.back() == u' ';
        for (const QChar c : text) {
            if (c.category() == QChar::Other_Format) {
                continue; // soft hyphens and joiners sit inside words
            }
            if (c.isSpace()) {
                if (!space && !m_text.isEmpty()) {
                    m_text.append(u' ');
                    space = true;
                }
            } else {
                m_text.append(c);
                space = false;
            }
        }
        if (!m_text.isEmpty() && !space) {
            m_text.append(u' ');
        }
    }

    void addField(const QString& label, const QString& value) {
        if (!value.isEmpty()) {
            add(label);
            add(value);
        }
    }

    void collect(const MCOAbstractPart& message) {
        if (message.envelope) {
            addField(QStringLiteral("Subject:"), message.envelope->subject);
            addField(QStringLiteral("From:"), message.envelope->from);
            addField(QStringLiteral("To:"), message.envelope->to);
            addField(QStringLiteral("Cc:"), message.envelope->cc);
        }
        // The parts the page shows as the body, chosen as the page chooses them: the words
        // found are the words on the page.
        for (const MimeLeaf& leaf : collectMimeLeaves(message)) {
            if (full()) {
                return;
            }
            if (leaf.role != MimeLeaf::Role::Body) {
                continue;
            }
            const MCOAttachment& part = leaf.part;
            if (part.mimeType == u"text/plain") {
                add(decodeTextPart(part.data, part.charset, false));
            } else if (part.mimeType == u"text/html") {
                add(MessageText::htmlToText(decodeTextPart(part.data, part.charset, true)));
            } else if (part.mimeType == u"text/enriched") {
                add(MessageText::htmlToText(
                    enrichedTextToHtml(decodeTextPart(part.data, part.charset, false))));
            }
        }
    }

    QString take() {
        if (m_text.size() > m_max) {
            m_text.truncate(m_max);
        }
        return std::move(m_text).trimmed();
    }

private:
    QString m_text;
    qsizetype m_max;
};

} // namespace

QString MessageText::of(const MCOMessageParser& message, qsizetype maxChars) {
    TextCollector collector(maxChars);
    collector.collect(message.partTree());
    return collector.take();
}

QString MessageText::htmlToText(QStringView html) {
    QString out;
    out.reserve(html.size() / 2);
    qsizetype i = 0;
    while (i < html.size()) {
        const QChar c = html[i];
        if (c == u'&') {
            if (const qsizetype used = appendReference(html, i, out)) {
                i += used;
                continue;
            }
            out.append(c);
            ++i;
            continue;
        }
        if (c != u'<') {
            out.append(c);
            ++i;
            continue;
        }
        const QChar next = i + 1 < html.size() ? html[i + 1] : QChar();
        if (!next.isLetter() && next != u'/' && next != u'!' && next != u'?') {
            out.append(c); // "a < b" is text, as browsers read it
            ++i;
            continue;
        }
        if (html.mid(i, 4) == u"<!--") {
            const qsizetype end = html.indexOf(u"-->", i + 4);
            i = end < 0 ? html.size() : end + 3;
            continue;
        }
        const qsizetype close = html.indexOf(u'>', i + 1);
        if (close < 0) {
            break; // a tag cut off at the end of the part hides nothing worth reading
        }
        QStringView tag = html.mid(i + 1, close - i - 1).trimmed();
        const bool closing = tag.startsWith(u'/');
        if (closing) {
            tag = tag.mid(1);
        }
        qsizetype nameEnd = 0;
        while (nameEnd < tag.size() && (tag[nameEnd].isLetterOrNumber() || tag[nameEnd] == u'-')) {
            ++nameEnd;
        }
        const QStringView name = tag.left(nameEnd);
        i = close + 1;
        if (!closing && (name.compare(u"script", Qt::CaseInsensitive) == 0 ||
                         name.compare(u"style", Qt::CaseInsensitive) == 0)) {
            // Code and style rules are no words of the message.
            const QString end = QStringLiteral("</") + name.toString();
            const qsizetype endAt = html.indexOf(end, i, Qt::CaseInsensitive);
            i = endAt < 0 ? html.size() : endAt;
            continue;
        }
        if (endsBlock(name)) {
            out.append(u'\n');
        }
    }
    return out;
}

} // namespace tessaly
