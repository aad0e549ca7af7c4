#pragma once

#include "platform/mail/imapsession.h"

#include <QByteArray>
#include <QHash>
#include <QList>

#include <functional>
#include <optional>

namespace tessaly {

// Reads the answer to one FETCH of UIDs, sizes and header blocks, up to its tagged line.
// libetpan's general parser spends most of a header chunk's time trying every extension on
// every response; this reader knows only what such an answer holds, and skips the rest
// (other attributes, other untagged responses) by the grammar's tokens, so a literal or a
// quoted string is never taken for structure.
class ImapFetchReader {
public:
    // Fills `into` with up to `room` bytes and returns how many; 0 or less when the
    // connection ended, failed, stalled or was interrupted.
    using Source = std::function<qsizetype(char* into, qsizetype room)>;

    enum class End {
        Ok,        // tagged OK
        No,        // tagged NO
        Bad,       // tagged BAD
        Bye,       // the server said BYE and closed the connection
        Dropped,   // the connection ended before the tagged line
        Unreadable // the answer broke the grammar; the stream cannot be trusted after it
    };
    struct Result {
        End end = End::Unreadable;
        QByteArray text; // the server's words on the tagged or BYE line, without a code
    };

    ImapFetchReader(QByteArray tag, Source source, qsizetype chunk = 64 * 1024);

    // The messages in the order they first came, a message sent in several FETCH responses
    // merged into one; only attributes that came are set.
    Result read(QList<ImapMessage>* messages);

    // Bytes read past the tagged line: not ours, they belong to whatever reads next.
    QByteArray leftover() const { return m_buffer.mid(m_pos); }
    // What EXISTS and EXPUNGE responses said on the way.
    std::optional<quint32> exists() const { return m_exists; }
    int expunged() const { return m_expunged; }

private:
    struct Stop {
        End end;
    };

    void fill(qsizetype wanted);
    char peek();
    char take();
    void expect(char c);
    void expectLineEnd();
    void skipSpaces();
    QByteArray atom();
    QByteArray attributeName();
    quint32 number();
    std::optional<QByteArray> nstring();
    QByteArray literal(bool keep);
    QByteArray quoted();
    void skipValue(int depth = 0);
    void skipData();
    QByteArray restOfLine();
    void fetchAttributes(quint32 sequence, QList<ImapMessage>* messages);

    QByteArray m_tag;
    Source m_source;
    qsizetype m_chunk;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    QHash<quint32, qsizetype> m_bySequence;
    std::optional<quint32> m_exists;
    int m_expunged = 0;
    QByteArray m_bye;
    bool m_sawBye = false;
};

} // namespace tessaly
