#include "plainimapclient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kReadSize = 256 * 1024;

} // namespace

PlainImapClient::~PlainImapClient() {
    close();
}

void PlainImapClient::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_start = m_end = 0;
}

bool PlainImapClient::open(quint16 port, const QByteArray& user, const QByteArray& password,
                           QString* error) {
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        *error = QStringLiteral("socket: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const int one = 1;
    // Commands are one small write each; Nagle would hold them back waiting for an ACK.
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = QStringLiteral("connect: ") + QString::fromLocal8Bit(std::strerror(errno));
        close();
        return false;
    }
    QByteArray greeting;
    if (!readLine(&greeting) || !greeting.startsWith("* OK")) {
        *error = QStringLiteral("no greeting: ") + QString::fromLatin1(greeting);
        close();
        return false;
    }
    const Answer login = command("LOGIN \"" + user + "\" \"" + password + '"');
    if (!login.ok) {
        *error = QStringLiteral("LOGIN: ") + QString::fromLatin1(login.status);
        close();
        return false;
    }
    return true;
}

PlainImapClient::Answer PlainImapClient::command(const QByteArray& text,
                                                 std::vector<QByteArray>* literals) {
    Answer answer;
    if (literals != nullptr) {
        literals->clear();
    }
    if (m_fd < 0) {
        answer.status = "not connected";
        return answer;
    }
    const QByteArray tag = 'P' + QByteArray::number(m_nextTag++);
    const QByteArray line = tag + ' ' + text + "\r\n";
    qsizetype sent = 0;
    while (sent < line.size()) {
        const ssize_t n =
            ::send(m_fd, line.constData() + sent, size_t(line.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            answer.status = "write failed";
            return answer;
        }
        sent += n;
    }
    const QByteArray tagged = tag + ' ';
    QByteArray received;
    QByteArray literal;
    bool continuation = false; // the line goes on after a literal
    while (readLine(&received)) {
        if (!continuation && received.startsWith(tagged)) {
            answer.status = received.mid(tagged.size());
            answer.ok = answer.status.startsWith("OK");
            return answer;
        }
        continuation = false;
        if (received.endsWith('}')) {
            const qsizetype open = received.lastIndexOf('{');
            bool isNumber = false;
            const qint64 count =
                open >= 0 ? received.mid(open + 1, received.size() - open - 2).toLongLong(&isNumber)
                          : 0;
            if (isNumber) {
                if (!readBytes(count, &literal)) {
                    break;
                }
                ++answer.literals;
                answer.literalBytes += count;
                if (literals != nullptr) {
                    literals->push_back(literal);
                }
                continuation = true;
            }
        }
    }
    answer.status = "the connection ended before the tagged answer";
    return answer;
}

bool PlainImapClient::fill() {
    if (m_start == m_end) {
        m_start = m_end = 0;
    } else if (m_start > m_buffer.size() / 2) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_start, m_end - m_start);
        m_end -= m_start;
        m_start = 0;
    }
    if (m_buffer.size() - m_end < kReadSize) {
        m_buffer.resize(m_end + kReadSize);
    }
    for (;;) {
        const ssize_t n = ::recv(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        m_end += size_t(n);
        return true;
    }
}

bool PlainImapClient::readLine(QByteArray* line) {
    size_t searched = m_start;
    for (;;) {
        const char* begin = m_buffer.data();
        for (size_t i = searched; i + 1 < m_end; ++i) {
            if (begin[i] == '\r' && begin[i + 1] == '\n') {
                *line = QByteArray(begin + m_start, qsizetype(i - m_start));
                m_start = i + 2;
                return true;
            }
        }
        const size_t unread = m_end - m_start;
        if (m_fd < 0 || !fill()) {
            return false;
        }
        // fill() may have moved the unread bytes to the front.
        searched = m_start + (unread > 0 ? unread - 1 : 0);
    }
}

bool PlainImapClient::readBytes(qint64 count, QByteArray* out) {
    out->resize(count);
    qint64 have = 0;
    while (have < count) {
        if (m_start == m_end && (m_fd < 0 || !fill())) {
            return false;
        }
        const qint64 take = std::min<qint64>(count - have, qint64(m_end - m_start));
        std::memcpy(out->data() + have, m_buffer.data() + m_start, size_t(take));
        m_start += size_t(take);
        have += take;
    }
    return true;
}
