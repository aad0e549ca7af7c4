#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// The baseline for the IMAP figures: a blocking client on a plain socket that sends a command
// and reads the answer up to its tagged line, skipping over literals by their announced length
// and keeping their bytes, but parsing nothing else. What it costs is close to what the server
// and the loopback cost, so our session's rate beside it shows what our own parsing adds.
class PlainImapClient {
public:
    struct Answer {
        bool ok = false;     // the tagged line said OK
        QByteArray status;   // the tagged line without its tag, or why there was none
        qint64 literals = 0; // literals received ({N} blocks): one per header or body
        qint64 literalBytes = 0;
    };

    PlainImapClient() = default;
    ~PlainImapClient();
    PlainImapClient(const PlainImapClient&) = delete;
    PlainImapClient& operator=(const PlainImapClient&) = delete;

    // Connects to 127.0.0.1 in clear text, reads the greeting and logs in.
    [[nodiscard]] bool open(quint16 port, const QByteArray& user, const QByteArray& password,
                            QString* error);
    // Sends "TAG text" and reads up to the tagged line; literals are kept in `literals` when
    // it is given (the last answer's only), so that the bytes are really taken in.
    Answer command(const QByteArray& text, std::vector<QByteArray>* literals = nullptr);
    void close();

private:
    bool fill();
    bool readLine(QByteArray* line);
    bool readBytes(qint64 count, QByteArray* out);

    int m_fd = -1;
    std::vector<char> m_buffer;
    size_t m_start = 0; // unread bytes are m_buffer[m_start, m_end)
    size_t m_end = 0;
    int m_nextTag = 1;
};
