#include "platform/mail/imapfetchreader.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tessaly {

namespace {

// A header block larger than this is no header a person wrote; holding it would only let a
// broken or hostile server take the memory.
constexpr qsizetype kMaxKeptLiteral = qsizetype(256) * 1024 * 1024;
// Lists inside lists: nothing a FETCH holds nests deeper than BODYSTRUCTURE does.
constexpr int kMaxDepth = 64;

bool isDigits(const QByteArray& text) {
    return !text.isEmpty() &&
           std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
}

bool same(const QByteArray& a, const char* b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The human part of a response line: the leading space and a "[CODE ...]" go.
QByteArray responseText(QByteArray text) {
    text = text.trimmed();
    if (text.startsWith('[')) {
        const qsizetype close = text.indexOf(']');
        text = close < 0 ? QByteArray() : text.mid(close + 1).trimmed();
    }
    return text;
}

} // namespace

ImapFetchReader::ImapFetchReader(QByteArray tag, Source source, qsizetype chunk)
    : m_tag(std::move(tag))
    , m_source(std::move(source))
    , m_chunk(std::max<qsizetype>(1, chunk)) {
}

ImapFetchReader::Result ImapFetchReader::read(QList<ImapMessage>* messages) {
    try {
        for (;;) {
            if (peek() == '*') {
                take();
                expect(' ');
                const QByteArray first = atom();
                if (isDigits(first)) {
                    bool ok = false;
                    const quint32 n = first.toUInt(&ok);
                    if (!ok)
                        throw Stop{End::Unreadable};
                    expect(' ');
                    const QByteArray what = atom();
                    if (same(what, "FETCH")) {
                        if (n == 0)
                            throw Stop{End::Unreadable};
                        expect(' ');
                        fetchAttributes(n, messages);
                    } else if (same(what, "EXISTS")) {
                        m_exists = n;
                    } else if (same(what, "EXPUNGE")) {
                        ++m_expunged;
                    }
                    skipData();
                } else if (same(first, "BYE")) {
                    m_bye = responseText(restOfLine());
                    m_sawBye = true;
                } else if (same(first, "OK") || same(first, "NO") || same(first, "BAD") ||
                           same(first, "PREAUTH")) {
                    static_cast<void>(restOfLine());
                } else {
                    skipData();
                }
                continue;
            }
            // A continuation request is never due in the middle of a FETCH.
            if (peek() == '+')
                throw Stop{End::Unreadable};
            if (atom() != m_tag)
                throw Stop{End::Unreadable};
            expect(' ');
            const QByteArray status = atom();
            const QByteArray text = responseText(restOfLine());
            if (same(status, "OK"))
                return {End::Ok, text};
            if (same(status, "NO"))
                return {End::No, text};
            if (same(status, "BAD"))
                return {End::Bad, text};
            throw Stop{End::Unreadable};
        }
    } catch (const Stop& stop) {
        if (stop.end == End::Dropped && m_sawBye)
            return {End::Bye, m_bye};
        return {stop.end, {}};
    }
}

void ImapFetchReader::fetchAttributes(quint32 sequence, QList<ImapMessage>* messages) {
    expect('(');
    qsizetype index = m_bySequence.value(sequence, -1);
    if (index < 0) {
        index = messages->size();
        m_bySequence.insert(sequence, index);
        messages->append(ImapMessage{});
        messages->last().sequence = sequence;
    }
    for (;;) {
        skipSpaces();
        if (peek() == ')') {
            take();
            return;
        }
        const QByteArray name = attributeName();
        expect(' ');
        skipSpaces();
        if (same(name, "UID")) {
            (*messages)[index].uid = number();
        } else if (same(name, "RFC822.SIZE")) {
            (*messages)[index].size = number();
        } else if (same(name, "BODY[HEADER]")) {
            if (std::optional<QByteArray> header = nstring())
                (*messages)[index].header = std::move(*header);
        } else {
            skipValue();
        }
    }
}

QByteArray ImapFetchReader::attributeName() {
    QByteArray name;
    for (;;) {
        const char c = peek();
        if (c == '[' || c == '<') {
            // A section may hold spaces and lists: BODY[HEADER.FIELDS (FROM TO)]<0>.
            const char close = c == '[' ? ']' : '>';
            for (char inside = take();; inside = take()) {
                if (inside == '\r' || inside == '\n')
                    throw Stop{End::Unreadable};
                name.append(inside);
                if (inside == close)
                    break;
            }
            continue;
        }
        if (c == ' ' || c == '(' || c == ')' || c == '\r' || c == '\n' || c == '"' || c == '{')
            break;
        name.append(take());
    }
    if (name.isEmpty())
        throw Stop{End::Unreadable};
    return name;
}

void ImapFetchReader::fill(qsizetype wanted) {
    while (m_buffer.size() - m_pos < wanted) {
        if (m_pos > 0) {
            const qsizetype rest = m_buffer.size() - m_pos;
            std::memmove(m_buffer.data(), m_buffer.constData() + m_pos, size_t(rest));
            m_buffer.resize(rest);
            m_pos = 0;
        }
        const qsizetype had = m_buffer.size();
        m_buffer.resize(had + m_chunk);
        const qsizetype got = m_source(m_buffer.data() + had, m_chunk);
        m_buffer.resize(had + std::clamp<qsizetype>(got, 0, m_chunk));
        if (got <= 0)
            throw Stop{End::Dropped};
    }
}

char ImapFetchReader::peek() {
    if (m_pos >= m_buffer.size())
        fill(1);
    return m_buffer.at(m_pos);
}

char ImapFetchReader::take() {
    const char c = peek();
    ++m_pos;
    return c;
}

void ImapFetchReader::expect(char c) {
    if (take() != c)
        throw Stop{End::Unreadable};
}

void ImapFetchReader::expectLineEnd() {
    if (peek() == '\r')
        take();
    expect('\n');
}

void ImapFetchReader::skipSpaces() {
    while (peek() == ' ')
        take();
}

QByteArray ImapFetchReader::atom() {
    QByteArray out;
    for (char c = peek();
         c != ' ' && c != '(' && c != ')' && c != '\r' && c != '\n' && c != '"' && c != '{';
         c = peek()) {
        out.append(c);
        ++m_pos;
    }
    if (out.isEmpty())
        throw Stop{End::Unreadable};
    return out;
}

quint32 ImapFetchReader::number() {
    const QByteArray digits = atom();
    bool ok = false;
    const qulonglong value = digits.toULongLong(&ok);
    if (!isDigits(digits) || !ok || value > std::numeric_limits<quint32>::max())
        throw Stop{End::Unreadable};
    return quint32(value);
}

std::optional<QByteArray> ImapFetchReader::nstring() {
    const char c = peek();
    if (c == '"')
        return quoted();
    if (c == '{')
        return literal(true);
    if (same(atom(), "NIL"))
        return std::nullopt;
    throw Stop{End::Unreadable};
}

QByteArray ImapFetchReader::quoted() {
    expect('"');
    QByteArray out;
    for (;;) {
        char c = take();
        if (c == '"')
            return out;
        if (c == '\\')
            c = take();
        if (c == '\r' || c == '\n')
            throw Stop{End::Unreadable};
        out.append(c);
    }
}

QByteArray ImapFetchReader::literal(bool keep) {
    expect('{');
    QByteArray digits;
    while (peek() >= '0' && peek() <= '9' && digits.size() < 11)
        digits.append(take());
    bool ok = false;
    const qulonglong length = digits.toULongLong(&ok);
    if (!ok || length > std::numeric_limits<quint32>::max())
        throw Stop{End::Unreadable};
    if (peek() == '+')
        take();
    expect('}');
    expectLineEnd();
    if (keep && qsizetype(length) > kMaxKeptLiteral)
        throw Stop{End::Unreadable};

    QByteArray out;
    if (keep)
        out.reserve(qsizetype(length));
    qsizetype left = qsizetype(length);
    while (left > 0) {
        if (m_pos >= m_buffer.size())
            fill(1);
        const qsizetype here = std::min(left, m_buffer.size() - m_pos);
        if (keep)
            out.append(m_buffer.constData() + m_pos, here);
        m_pos += here;
        left -= here;
    }
    return out;
}

void ImapFetchReader::skipValue(int depth) {
    if (depth > kMaxDepth)
        throw Stop{End::Unreadable};
    switch (peek()) {
    case '(':
        take();
        for (;;) {
            skipSpaces();
            if (peek() == ')') {
                take();
                return;
            }
            skipValue(depth + 1);
        }
    case '"':
        static_cast<void>(quoted());
        return;
    case '{':
        static_cast<void>(literal(false));
        return;
    default:
        // An atom, a number, NIL, or a name with a section such as BODY[1]<0>.
        static_cast<void>(attributeName());
        return;
    }
}

void ImapFetchReader::skipData() {
    for (;;) {
        switch (peek()) {
        case '\r':
        case '\n':
            expectLineEnd();
            return;
        case '"':
            static_cast<void>(quoted());
            break;
        case '{':
            static_cast<void>(literal(false));
            break;
        default:
            take();
            break;
        }
    }
}

QByteArray ImapFetchReader::restOfLine() {
    QByteArray out;
    for (char c = peek(); c != '\r' && c != '\n'; c = peek()) {
        out.append(c);
        ++m_pos;
    }
    expectLineEnd();
    return out;
}

} // namespace tessaly
