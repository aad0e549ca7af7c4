#include "platform/mail/imapconnection.h"

#include "platform/mail/imapcertificate.h"
#include "platform/mail/imapfetchreader.h"
#include "platform/mail/imaputf7.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QSet>
#include <QUrl>

#include <libetpan/libetpan.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessaly {

// ---------------------------------------------------------------------------------------------
// ImapInterrupter

ImapInterrupter::ImapInterrupter()
    : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
}

ImapInterrupter::~ImapInterrupter() {
    if (m_wake >= 0)
        ::close(m_wake);
}

void ImapInterrupter::interrupt() {
    std::lock_guard lock(m_mutex);
    m_interrupted = true;
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
    if (m_wake >= 0) {
        const quint64 one = 1;
        // A full counter still wakes the poll; nothing else to do when the write fails.
        [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
    }
}

bool ImapInterrupter::isInterrupted() const {
    std::lock_guard lock(m_mutex);
    return m_interrupted;
}

void ImapInterrupter::rearm() {
    std::lock_guard lock(m_mutex);
    m_interrupted = false;
    quint64 count = 0;
    while (m_wake >= 0 && ::read(m_wake, &count, sizeof count) > 0) {
    }
}

void ImapInterrupter::attachSocket(int fd) {
    std::lock_guard lock(m_mutex);
    m_socket = fd;
    // Interrupted between operations starting and the socket existing: it must not get far.
    if (m_interrupted)
        ::shutdown(fd, SHUT_RDWR);
}

void ImapInterrupter::detachSocket() {
    std::lock_guard lock(m_mutex);
    m_socket = -1;
}

// ---------------------------------------------------------------------------------------------
// ImapConnection

namespace {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T* p) const {
        if (p != nullptr)
            Free(p);
    }
};
using SetPtr = std::unique_ptr<mailimap_set, Deleter<mailimap_set_free>>;
using FetchTypePtr = std::unique_ptr<mailimap_fetch_type, Deleter<mailimap_fetch_type_free>>;
using FetchListPtr = std::unique_ptr<clist, Deleter<mailimap_fetch_list_free>>;
using ListResultPtr = std::unique_ptr<clist, Deleter<mailimap_list_result_free>>;
using ChainPtr = std::unique_ptr<carray, Deleter<mailstream_certificate_chain_free>>;

// Server text ends up in descriptions and logs: one line, printable, of a sane length.
QString serverText(const char* text) {
    if (text == nullptr)
        return {};
    QString out = QString::fromUtf8(text).simplified();
    out.removeIf([](QChar c) { return !c.isPrint(); });
    if (out.size() > 300)
        out = out.left(300) + QStringLiteral("…");
    return out;
}

// A name libetpan sends as a quoted string: a line break in it would end the command early.
bool sendable(const QByteArray& text) {
    return !text.contains('\r') && !text.contains('\n') && !text.contains('\0');
}

void setServerName(mailstream_ssl_context* context, void* data) {
    // Without the name a server with several certificates may present the wrong one.
    mailstream_ssl_set_server_name(context, static_cast<char*>(data));
}

// libetpan's plain socket layer reports the end of the stream as a read of no bytes, which its
// parser takes for "nothing yet" and reads again, for ever; and no layer of libetpan knows our
// interrupter. This layer sits on top of the socket or TLS layer: the end of the stream and an
// interrupt both read as errors, so every wait ends. It also notes a wait that ran into the
// timeout, which the layers below report as just another failure.
struct GuardedStream {
    mailstream_low* inner;
    ImapInterrupter* interrupter;
    bool* stalled;
};

// Whether a failed wait took (nearly) the whole timeout.
void noteStall(GuardedStream* stream, const QElapsedTimer& waited) {
    const qint64 limit = qint64(mailstream_low_get_timeout(stream->inner)) * 1000;
    if (limit > 0 && waited.elapsed() >= limit - 250)
        *stream->stalled = true;
}

GuardedStream* guarded(mailstream_low* s) {
    return static_cast<GuardedStream*>(s->data);
}

ssize_t guardedRead(mailstream_low* s, void* buffer, size_t count) {
    if (guarded(s)->interrupter->isInterrupted())
        return -1;
    QElapsedTimer waited;
    waited.start();
    const ssize_t r = mailstream_low_read(guarded(s)->inner, buffer, count);
    if (r > 0)
        return r;
    noteStall(guarded(s), waited);
    return -1;
}

ssize_t guardedWrite(mailstream_low* s, const void* buffer, size_t count) {
    if (guarded(s)->interrupter->isInterrupted())
        return -1;
    QElapsedTimer waited;
    waited.start();
    const ssize_t r = mailstream_low_write(guarded(s)->inner, buffer, count);
    if (r < 0)
        noteStall(guarded(s), waited);
    return r;
}

int guardedClose(mailstream_low* s) {
    // Forgotten before it is closed: the number may be reused at once.
    guarded(s)->interrupter->detachSocket();
    return mailstream_low_close(guarded(s)->inner);
}

int guardedDescriptor(mailstream_low* s) {
    return mailstream_low_get_fd(guarded(s)->inner);
}

void guardedFree(mailstream_low* s) {
    mailstream_low_free(guarded(s)->inner);
    delete guarded(s);
    std::free(s); // allocated by mailstream_low_new
}

void guardedCancel(mailstream_low* s) {
    mailstream_low_cancel(guarded(s)->inner);
}

struct mailstream_cancel* guardedCancelObject(mailstream_low* s) {
    return mailstream_low_get_cancel(guarded(s)->inner);
}

carray* guardedCertificates(mailstream_low* s) {
    return mailstream_low_get_certificate_chain(guarded(s)->inner);
}

mailstream_low_driver guardedDriver = {
    guardedRead,         // mailstream_read
    guardedWrite,        // mailstream_write
    guardedClose,        // mailstream_close
    guardedDescriptor,   // mailstream_get_fd
    guardedFree,         // mailstream_free
    guardedCancel,       // mailstream_cancel
    guardedCancelObject, // mailstream_get_cancel
    guardedCertificates, // mailstream_get_certificate_chain
    nullptr,             // mailstream_setup_idle
    nullptr,             // mailstream_unsetup_idle
    nullptr,             // mailstream_interrupt_idle
};

// Takes `inner` over; when that fails (out of memory), `inner` is left to the caller.
mailstream_low* guard(mailstream_low* inner, ImapInterrupter& interrupter, bool* stalled) {
    auto* data = new (std::nothrow) GuardedStream{inner, &interrupter, stalled};
    mailstream_low* outer = data != nullptr ? mailstream_low_new(data, &guardedDriver) : nullptr;
    if (outer == nullptr) {
        delete data;
        return nullptr;
    }
    mailstream_low_set_timeout(outer, mailstream_low_get_timeout(inner));
    return outer;
}

// The connected socket until a stream layer takes it over.
class SocketOwner {
public:
    SocketOwner(int fd, ImapInterrupter& interrupter)
        : m_fd(fd)
        , m_interrupter(interrupter) {}
    ~SocketOwner() {
        if (m_fd >= 0) {
            m_interrupter.detachSocket();
            ::close(m_fd);
        }
    }
    SocketOwner(const SocketOwner&) = delete;
    SocketOwner& operator=(const SocketOwner&) = delete;
    void release() { m_fd = -1; }

private:
    int m_fd;
    ImapInterrupter& m_interrupter;
};

// A stream layer that owns the socket: closing it closes the socket.
struct LayerCloser {
    ImapInterrupter* interrupter;
    void operator()(mailstream_low* layer) const {
        interrupter->detachSocket();
        mailstream_low_close(layer);
        mailstream_low_free(layer);
    }
};
using LayerPtr = std::unique_ptr<mailstream_low, LayerCloser>;
using StreamPtr = std::unique_ptr<mailstream, Deleter<mailstream_close>>;

QStringList folderFlags(const mailimap_mbx_list_flags* flags) {
    QStringList out;
    if (flags == nullptr)
        return out;
    if (flags->mbf_type == MAILIMAP_MBX_LIST_FLAGS_SFLAG) {
        switch (flags->mbf_sflag) {
        case MAILIMAP_MBX_LIST_SFLAG_MARKED:
            out.append(QStringLiteral("\\Marked"));
            break;
        case MAILIMAP_MBX_LIST_SFLAG_NOSELECT:
            out.append(QStringLiteral("\\Noselect"));
            break;
        case MAILIMAP_MBX_LIST_SFLAG_UNMARKED:
            out.append(QStringLiteral("\\Unmarked"));
            break;
        default:
            break;
        }
    }
    for (clistiter* it = clist_begin(flags->mbf_oflags); it != nullptr; it = clist_next(it)) {
        const auto* flag = static_cast<const mailimap_mbx_list_oflag*>(clist_content(it));
        if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_NOINFERIORS)
            out.append(QStringLiteral("\\Noinferiors"));
        else if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_FLAG_EXT && flag->of_flag_ext != nullptr)
            out.append(QLatin1Char('\\') + QString::fromUtf8(flag->of_flag_ext));
    }
    return out;
}

} // namespace

struct ImapConnection::Private {
    Private(ImapSessionSettings s, ImapInterrupter& i, ImapWireNames& names)
        : settings(std::move(s))
        , interrupter(i)
        , wireNames(names) {}

    ImapSessionSettings settings;
    ImapInterrupter& interrupter;
    ImapWireNames& wireNames;
    mailimap* imap = nullptr;
    bool loggedIn = false;
    bool broken = false;
    QByteArray selected;  // the folder EXAMINE made current, as sent
    bool stalled = false; // the last command failed waiting out the timeout

    QString where() const {
        return QStringLiteral("%1:%2").arg(settings.hostname).arg(settings.port);
    }
    int timeout() const { return std::max(1, settings.timeoutSeconds); }

    static ImapError error(ImapError::Kind kind, QString description) {
        ImapError e;
        e.kind = kind;
        e.description = std::move(description);
        return e;
    }
    ImapError cancelled() {
        broken = true;
        return error(ImapError::Kind::Cancelled, QStringLiteral("Cancelled"));
    }

    // One place that turns libetpan's result codes into errors. `doing` completes "while …".
    ImapError failure(int code, const QString& doing) {
        if (interrupter.isInterrupted())
            return cancelled();
        const QString text = serverText(imap != nullptr ? imap->imap_response : nullptr);
        const QString said = text.isEmpty() ? QString() : QStringLiteral(": ") + text;
        switch (code) {
        case MAILIMAP_ERROR_STREAM:
        case MAILIMAP_ERROR_SSL:
            broken = true;
            if (stalled) {
                return error(ImapError::Kind::Connection,
                             QStringLiteral("The server %1 did not answer within %2 s while %3")
                                 .arg(where())
                                 .arg(timeout())
                                 .arg(doing));
            }
            return error(
                ImapError::Kind::Connection,
                QStringLiteral("The connection to %1 dropped while %2").arg(where(), doing));
        case MAILIMAP_ERROR_FATAL:
            broken = true;
            return error(ImapError::Kind::Connection,
                         QStringLiteral("The server %1 closed the connection while %2%3")
                             .arg(where(), doing, said));
        case MAILIMAP_ERROR_PARSE:
            // Where a response stopped making sense the rest of the stream cannot be trusted.
            broken = true;
            return error(
                ImapError::Kind::Connection,
                QStringLiteral("The answer of %1 could not be read while %2").arg(where(), doing));
        case MAILIMAP_ERROR_MEMORY:
            broken = true;
            return error(ImapError::Kind::Protocol,
                         QStringLiteral("Out of memory while %1 from %2").arg(doing, where()));
        case MAILIMAP_ERROR_BAD_STATE:
            broken = true;
            return error(
                ImapError::Kind::Protocol,
                QStringLiteral("The connection to %1 was not ready for %2").arg(where(), doing));
        case MAILIMAP_ERROR_PROTOCOL:
            return error(ImapError::Kind::Protocol,
                         QStringLiteral("The server %1 rejected the command while %2%3")
                             .arg(where(), doing, said));
        default:
            return error(ImapError::Kind::Protocol,
                         QStringLiteral("The server %1 refused %2%3").arg(where(), doing, said));
        }
    }

    void start() { stalled = false; }

    ImapError connectSocket(int* fd);
    ImapError secure(mailstream** stream, int fd);
    ImapError checkCertificate(mailstream* stream);
    ImapError startTls();
    ImapError logIn();
    ImapError select(const QString& folder, bool always);
    ImapError fetch(const QString& folder, bool byUid, const QByteArray& set, ImapRequestKind kind,
                    QList<ImapMessage>* messages);
    QByteArray wireName(const QString& folder) const {
        const auto known = wireNames.constFind(folder);
        return known != wireNames.constEnd() ? *known : encodeImapUtf7(folder);
    }
    void close();
};

ImapError ImapConnection::Private::connectSocket(int* out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const QByteArray host = QUrl::toAce(settings.hostname);
    const QByteArray port = QByteArray::number(settings.port);
    if (host.isEmpty() || settings.port <= 0 || settings.port > 65535) {
        return error(ImapError::Kind::Connection,
                     QStringLiteral("The server address %1 is not valid").arg(where()));
    }
    // Name lookup cannot be interrupted; the resolver's own timeouts bound it.
    const int looked = ::getaddrinfo(host.constData(), port.constData(), &hints, &found);
    if (looked != 0) {
        return error(ImapError::Kind::Connection,
                     QStringLiteral("Could not find the server %1: %2")
                         .arg(settings.hostname, QString::fromLocal8Bit(::gai_strerror(looked))));
    }
    const std::unique_ptr<addrinfo, Deleter<freeaddrinfo>> addresses(found);
    QString reason = QStringLiteral("no address");
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        if (interrupter.isInterrupted())
            return cancelled();
        const int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                     address->ai_protocol);
        if (fd < 0) {
            reason = QString::fromLocal8Bit(std::strerror(errno));
            continue;
        }
        interrupter.attachSocket(fd);
        SocketOwner owner(fd, interrupter);
        int problem = 0;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) < 0) {
            problem = errno;
            if (problem == EINPROGRESS) {
                pollfd watched[2] = {{fd, POLLOUT, 0}, {interrupter.wakeDescriptor(), POLLIN, 0}};
                QElapsedTimer waited;
                waited.start();
                int ready = 0;
                do {
                    const qint64 left = qint64(timeout()) * 1000 - waited.elapsed();
                    ready = left > 0 ? ::poll(watched, 2, int(left)) : 0;
                } while (ready < 0 && errno == EINTR);
                if (watched[1].revents != 0 || interrupter.isInterrupted())
                    return cancelled();
                if (ready < 0) {
                    problem = errno;
                } else if (ready == 0) {
                    problem = ETIMEDOUT;
                } else {
                    socklen_t length = sizeof problem;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &problem, &length) < 0)
                        problem = errno;
                }
            }
        }
        // libetpan's streams expect a blocking descriptor and do their own waiting.
        if (problem == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) < 0)
            problem = errno;
        if (problem == 0) {
            owner.release();
            *out = fd;
            return {};
        }
        reason = problem == ETIMEDOUT ? QStringLiteral("no answer within %1 s").arg(timeout())
                                      : QString::fromLocal8Bit(std::strerror(problem));
    }
    return error(ImapError::Kind::Connection,
                 QStringLiteral("Could not connect to %1: %2").arg(where(), reason));
}

ImapError ImapConnection::Private::checkCertificate(mailstream* stream) {
    QList<QByteArray> chain;
    if (const ChainPtr certificates{mailstream_get_certificate_chain(stream)}) {
        for (unsigned i = 0; i < carray_count(certificates.get()); ++i) {
            const auto* der = static_cast<const MMAPString*>(carray_get(certificates.get(), i));
            chain.append(QByteArray(der->str, qsizetype(der->len)));
        }
    }
    const ImapCertificateCheck check =
        checkImapCertificate(chain, settings.hostname, settings.trustedCertificateSha256);
    if (check.accepted)
        return {};
    broken = true;
    ImapError e =
        error(ImapError::Kind::Certificate,
              QStringLiteral("The server's certificate for %1 could not be verified "
                             "(%2). SHA-256 fingerprint: %3")
                  .arg(settings.hostname, check.reason, readableFingerprint(check.sha256)));
    e.certificateSha256 = check.sha256;
    return e;
}

ImapError ImapConnection::Private::startTls() {
    start();
    const int r = mailimap_starttls(imap);
    if (r == MAILIMAP_ERROR_STARTTLS || r == MAILIMAP_ERROR_PROTOCOL) {
        // Never carried on in clear text: the user asked for an encrypted connection.
        broken = true;
        return error(ImapError::Kind::Protocol,
                     QStringLiteral("The server %1 does not offer STARTTLS%2")
                         .arg(where(), imap->imap_response != nullptr
                                           ? QStringLiteral(": ") + serverText(imap->imap_response)
                                           : QString()));
    }
    if (r != MAILIMAP_NO_ERROR)
        return failure(r, QStringLiteral("starting TLS"));
    // Anything the server sent after its go-ahead came before encryption and could have been
    // put there by anyone on the way: refuse rather than read it as protected.
    if (imap->imap_stream->read_buffer_len != 0) {
        broken = true;
        return error(ImapError::Kind::Connection,
                     QStringLiteral("The server %1 sent data before TLS started").arg(where()));
    }
    mailstream_low* plain = mailstream_get_low(imap->imap_stream);
    const int fd = mailstream_low_get_fd(plain);
    QByteArray name = QUrl::toAce(settings.hostname); // SNI takes the ASCII form
    const bool named = QHostAddress(settings.hostname).isNull();
    mailstream_low* tls = mailstream_low_tls_open_with_callback_timeout(
        fd, timeout(), named ? setServerName : nullptr, named ? name.data() : nullptr);
    if (tls == nullptr) {
        if (interrupter.isInterrupted())
            return cancelled();
        broken = true;
        return error(ImapError::Kind::Connection,
                     QStringLiteral("The TLS handshake with %1 failed").arg(where()));
    }
    mailstream_low* secured = guard(tls, interrupter, &stalled);
    if (secured == nullptr) {
        // Not closed: the descriptor still belongs to the plain layer, which closes it.
        mailstream_low_free(tls);
        broken = true;
        return error(ImapError::Kind::Connection,
                     QStringLiteral("Out of memory connecting to %1").arg(where()));
    }
    // The plain layers go without closing the descriptor the TLS layer now owns.
    mailstream_low_free(plain);
    mailstream_set_low(imap->imap_stream, secured);
    return checkCertificate(imap->imap_stream);
}

ImapError ImapConnection::Private::logIn() {
    const QByteArray user = settings.username.toUtf8();
    const QByteArray secret =
        (settings.xoauth2 ? settings.oauth2Token : settings.password).toUtf8();
    if (!sendable(user) || !sendable(secret)) {
        return error(ImapError::Kind::Authentication,
                     QStringLiteral("The credentials for %1 hold a line break, which cannot be "
                                    "sent to the server")
                         .arg(settings.username));
    }
    start();
    const int r = settings.xoauth2
                      ? mailimap_oauth2_authenticate(imap, user.constData(), secret.constData())
                      : mailimap_login(imap, user.constData(), secret.constData());
    if (r == MAILIMAP_ERROR_LOGIN) {
        // Nothing about the attempt is worth keeping; a new connection starts clean.
        broken = true;
        const QString text = serverText(imap->imap_response);
        return error(ImapError::Kind::Authentication,
                     QStringLiteral("The server %1 refused the credentials for %2%3")
                         .arg(where(), settings.username,
                              text.isEmpty() ? QString() : QStringLiteral(": ") + text));
    }
    if (r != MAILIMAP_NO_ERROR) {
        ImapError e = failure(r, QStringLiteral("logging in as %1").arg(settings.username));
        broken = true;
        return e;
    }
    return {};
}

ImapError ImapConnection::Private::select(const QString& folder, bool always) {
    const QByteArray wire = wireName(folder);
    if (wire.isEmpty() || !sendable(wire)) {
        return error(
            ImapError::Kind::NonExistent,
            QStringLiteral("The folder name “%1” cannot be sent to %2").arg(folder, where()));
    }
    if (!always && wire == selected)
        return {};
    // A failed EXAMINE leaves no folder selected.
    selected.clear();
    start();
    const int r = mailimap_examine(imap, wire.constData());
    if (r == MAILIMAP_ERROR_EXAMINE) {
        const char* code =
            imap->imap_response_info != nullptr ? imap->imap_response_info->rsp_atom : nullptr;
        const QString text = serverText(imap->imap_response);
        const bool missing = code == nullptr || qstricmp(code, "NONEXISTENT") == 0;
        return error(
            missing ? ImapError::Kind::NonExistent : ImapError::Kind::Protocol,
            QStringLiteral("The folder “%1” cannot be opened on %2%3")
                .arg(folder, where(), text.isEmpty() ? QString() : QStringLiteral(": ") + text));
    }
    if (r != MAILIMAP_NO_ERROR)
        return failure(r, QStringLiteral("opening the folder “%1”").arg(folder));
    selected = wire;
    return {};
}

ImapError ImapConnection::Private::fetch(const QString& folder, bool byUid, const QByteArray& set,
                                         ImapRequestKind kind, QList<ImapMessage>* messages) {
    if (ImapError e = select(folder, false); e.isError())
        return e;
    const QString doing = QStringLiteral("fetching messages from “%1”").arg(folder);
    if (imap->imap_state != MAILIMAP_STATE_SELECTED)
        return failure(MAILIMAP_ERROR_BAD_STATE, doing);

    // Sent and read here rather than through libetpan, whose parser costs more than the server
    // does for a chunk of headers. The tag is the next one libetpan would have used, so the
    // commands it sends later carry tags that follow on.
    ++imap->imap_tag;
    const QByteArray tag = QByteArray::number(imap->imap_tag);
    const QByteArray command =
        tag + (byUid ? " UID FETCH " : " FETCH ") + set +
        (kind == ImapRequestKind::Headers ? " (UID RFC822.SIZE BODY.PEEK[HEADER])\r\n"
                                          : " (UID)\r\n");
    start();
    imap->imap_response = nullptr;
    mailstream* stream = imap->imap_stream;
    if (mailstream_write(stream, command.constData(), size_t(command.size())) !=
            ssize_t(command.size()) ||
        mailstream_flush(stream) != 0)
        return failure(MAILIMAP_ERROR_STREAM, doing);

    // What libetpan had buffered comes first, then the connection's own layer, which keeps
    // the timeout and the interrupter.
    const auto source = [stream](char* into, qsizetype room) -> qsizetype {
        if (stream->read_buffer_len > 0) {
            const size_t n = std::min(stream->read_buffer_len, size_t(room));
            std::memcpy(into, stream->read_buffer, n);
            std::memmove(stream->read_buffer, stream->read_buffer + n, stream->read_buffer_len - n);
            stream->read_buffer_len -= n;
            return qsizetype(n);
        }
        return mailstream_low_read(mailstream_get_low(stream), into, size_t(room));
    };
    ImapFetchReader reader(tag, source, qsizetype(stream->buffer_max_size));
    QList<ImapMessage> received;
    const ImapFetchReader::Result result = reader.read(&received);

    // Whatever came after the tagged line goes back where libetpan looks for it; it is never
    // more than one read, which fits the stream's buffer.
    const QByteArray rest = reader.leftover();
    if (!rest.isEmpty() && size_t(rest.size()) <= stream->buffer_max_size) {
        std::memcpy(stream->read_buffer, rest.constData(), size_t(rest.size()));
        stream->read_buffer_len = size_t(rest.size());
    } else if (!rest.isEmpty()) {
        broken = true;
    }
    if (mailimap_selection_info* selection = imap->imap_selection_info) {
        if (reader.exists())
            selection->sel_exists = *reader.exists();
        selection->sel_exists -=
            std::min<quint32>(selection->sel_exists, quint32(reader.expunged()));
    }

    if (result.end != ImapFetchReader::End::Ok) {
        if (!result.text.isEmpty() &&
            mmap_string_assign(imap->imap_response_buffer, result.text.constData()) != nullptr)
            imap->imap_response = imap->imap_response_buffer->str;
        switch (result.end) {
        case ImapFetchReader::End::No:
            return failure(MAILIMAP_ERROR_FETCH, doing);
        case ImapFetchReader::End::Bad:
            return failure(MAILIMAP_ERROR_PROTOCOL, doing);
        case ImapFetchReader::End::Bye:
            return failure(MAILIMAP_ERROR_FATAL, doing);
        case ImapFetchReader::End::Dropped:
            return failure(MAILIMAP_ERROR_STREAM, doing);
        default:
            return failure(MAILIMAP_ERROR_PARSE, doing);
        }
    }

    received.removeIf([](const ImapMessage& message) { return message.uid == 0; });
    std::sort(received.begin(), received.end(),
              [](const ImapMessage& a, const ImapMessage& b) { return a.sequence < b.sequence; });
    *messages = std::move(received);
    return {};
}

void ImapConnection::Private::close() {
    interrupter.detachSocket();
    if (imap == nullptr)
        return;
    // No LOGOUT: closing must not wait on a server that may be gone; dropping the connection
    // is an orderly end for IMAP too.
    if (imap->imap_stream != nullptr) {
        mailstream_close(imap->imap_stream);
        imap->imap_stream = nullptr;
    }
    mailimap_free(imap);
    imap = nullptr;
    loggedIn = false;
    selected.clear();
}

ImapConnection::ImapConnection(ImapSessionSettings settings, ImapInterrupter& interrupter,
                               ImapWireNames& wireNames)
    : d(std::make_unique<Private>(std::move(settings), interrupter, wireNames)) {
}

ImapConnection::~ImapConnection() {
    d->close();
}

ImapError ImapConnection::open() {
    d->close();
    d->broken = false;
    int fd = -1;
    if (ImapError e = d->connectSocket(&fd); e.isError())
        return e;
    SocketOwner socket(fd, d->interrupter);

    const bool tls = d->settings.connectionType == ImapConnectionType::Tls;
    LayerPtr layer{nullptr, LayerCloser{&d->interrupter}};
    if (tls) {
        QByteArray name = QUrl::toAce(d->settings.hostname);
        const bool named = QHostAddress(d->settings.hostname).isNull();
        d->start();
        layer.reset(mailstream_low_ssl_open_with_callback_timeout(
            fd, d->timeout(), named ? setServerName : nullptr, named ? name.data() : nullptr));
    } else {
        layer.reset(mailstream_low_socket_open(fd));
        if (layer)
            mailstream_low_set_timeout(layer.get(), d->timeout());
    }
    if (!layer) {
        if (d->interrupter.isInterrupted())
            return d->cancelled();
        return Private::error(
            ImapError::Kind::Connection,
            tls ? QStringLiteral("The TLS handshake with %1 failed").arg(d->where())
                : QStringLiteral("Could not set up the connection to %1").arg(d->where()));
    }
    socket.release();
    LayerPtr guardedLayer{guard(layer.get(), d->interrupter, &d->stalled),
                          LayerCloser{&d->interrupter}};
    if (guardedLayer)
        static_cast<void>(layer.release());
    // Large reads: a chunk of headers is megabytes.
    StreamPtr stream{guardedLayer ? mailstream_new(guardedLayer.get(), 64 * 1024) : nullptr};
    if (!stream) {
        return Private::error(ImapError::Kind::Connection,
                              QStringLiteral("Out of memory connecting to %1").arg(d->where()));
    }
    static_cast<void>(guardedLayer.release());
    // Before anything goes to the server, and before its greeting is believed.
    if (tls) {
        if (ImapError e = d->checkCertificate(stream.get()); e.isError())
            return e;
    }

    d->imap = mailimap_new(0, nullptr);
    if (d->imap == nullptr) {
        return Private::error(ImapError::Kind::Connection,
                              QStringLiteral("Out of memory connecting to %1").arg(d->where()));
    }
    mailimap_set_timeout(d->imap, d->timeout());
    d->start();
    // From here the session owns the stream, whatever the outcome.
    const int greeting = mailimap_connect(d->imap, stream.release());
    if (greeting == MAILIMAP_ERROR_DONT_ACCEPT_CONNECTION) {
        const QString text = serverText(d->imap->imap_response);
        d->close();
        return Private::error(
            ImapError::Kind::Connection,
            QStringLiteral("The server %1 turned the connection away%2")
                .arg(d->where(), text.isEmpty() ? QString() : QStringLiteral(": ") + text));
    }
    if (greeting != MAILIMAP_NO_ERROR_AUTHENTICATED &&
        greeting != MAILIMAP_NO_ERROR_NON_AUTHENTICATED) {
        const ImapError e = d->failure(greeting, QStringLiteral("waiting for its greeting"));
        d->close();
        return e;
    }
    if (d->settings.connectionType == ImapConnectionType::StartTls) {
        if (ImapError e = d->startTls(); e.isError()) {
            d->close();
            return e;
        }
    }
    if (greeting == MAILIMAP_NO_ERROR_NON_AUTHENTICATED) {
        if (ImapError e = d->logIn(); e.isError()) {
            d->close();
            return e;
        }
    }
    d->loggedIn = true;
    return {};
}

bool ImapConnection::isUsable() const {
    if (d->imap == nullptr || d->imap->imap_stream == nullptr || !d->loggedIn || d->broken)
        return false;
    // Nothing is due from the server between commands: data waiting (a BYE for idling too
    // long, say) or a closed socket mean this connection is over.
    if (d->imap->imap_stream->read_buffer_len != 0)
        return false;
    pollfd watched{mailstream_low_get_fd(mailstream_get_low(d->imap->imap_stream)), POLLIN, 0};
    return ::poll(&watched, 1, 0) == 0;
}

ImapError ImapConnection::listFolders(QList<ImapFolder>* folders) {
    clist* raw = nullptr;
    d->start();
    const int r = mailimap_list(d->imap, "", "*", &raw);
    const ListResultPtr result{raw};
    if (r != MAILIMAP_NO_ERROR)
        return d->failure(r, QStringLiteral("listing the folders"));
    for (clistiter* it = clist_begin(result.get()); it != nullptr; it = clist_next(it)) {
        const auto* entry = static_cast<const mailimap_mailbox_list*>(clist_content(it));
        if (entry->mb_name == nullptr)
            continue;
        const QByteArray wire(entry->mb_name);
        ImapFolder folder;
        // A server that sends names in raw UTF-8 instead is taken at its word.
        folder.path = decodeImapUtf7(wire).value_or(QString::fromUtf8(wire));
        if (entry->mb_delimiter != 0)
            folder.delimiter = QChar::fromLatin1(entry->mb_delimiter);
        folder.flags = folderFlags(entry->mb_flag);
        d->wireNames.insert(folder.path, wire);
        folders->append(folder);
    }
    return {};
}

ImapError ImapConnection::folderInfo(const QString& folder, ImapFolderInfo* info) {
    // Always sent, also for the folder already open: the counts are what is wanted.
    if (ImapError e = d->select(folder, true); e.isError())
        return e;
    const mailimap_selection_info* selection = d->imap->imap_selection_info;
    if (selection != nullptr) {
        info->messageCount = int(std::min<quint32>(selection->sel_exists, INT_MAX));
        info->uidValidity = selection->sel_uidvalidity;
        info->uidNext = selection->sel_uidnext;
    }
    return {};
}

ImapError ImapConnection::fetchByNumber(const QString& folder, quint32 first, quint32 last,
                                        ImapRequestKind kind, QList<ImapMessage>* messages) {
    if (first == 0 || last < first) {
        return Private::error(
            ImapError::Kind::Protocol,
            QStringLiteral("Messages %1 to %2 are not a valid range").arg(first).arg(last));
    }
    QByteArray set = QByteArray::number(first);
    if (last != first)
        set += ':' + QByteArray::number(last);
    return d->fetch(folder, false, set, kind, messages);
}

ImapError ImapConnection::fetchByUid(const QString& folder, const QList<quint32>& uids,
                                     ImapRequestKind kind, QList<ImapMessage>* messages) {
    QList<quint32> sorted = uids;
    sorted.removeAll(0u);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    if (sorted.isEmpty())
        return {};
    QByteArray set;
    for (qsizetype i = 0; i < sorted.size();) {
        qsizetype end = i;
        while (end + 1 < sorted.size() && sorted[end + 1] == sorted[end] + 1)
            ++end;
        if (!set.isEmpty())
            set += ',';
        set += QByteArray::number(sorted[i]);
        if (end != i)
            set += ':' + QByteArray::number(sorted[end]);
        i = end + 1;
    }
    if (ImapError e = d->fetch(folder, true, set, kind, messages); e.isError())
        return e;
    // Ranges only hold what was asked for, but a server may add messages nobody asked about.
    const QSet<quint32> wanted(sorted.cbegin(), sorted.cend());
    messages->removeIf([&](const ImapMessage& message) { return !wanted.contains(message.uid); });
    return {};
}

ImapError ImapConnection::fetchMessage(const QString& folder, quint32 uid, QByteArray* data) {
    if (ImapError e = d->select(folder, false); e.isError())
        return e;
    const SetPtr set{mailimap_set_new_single(uid)};
    const FetchTypePtr type{mailimap_fetch_type_new_fetch_att_list_empty()};
    if (!set || !type)
        return d->failure(MAILIMAP_ERROR_MEMORY, QStringLiteral("fetching a message"));
    const bool built = [&] {
        mailimap_fetch_att* uidAtt = mailimap_fetch_att_new_uid();
        if (uidAtt == nullptr)
            return false;
        if (mailimap_fetch_type_new_fetch_att_list_add(type.get(), uidAtt) != MAILIMAP_NO_ERROR) {
            mailimap_fetch_att_free(uidAtt);
            return false;
        }
        mailimap_section* whole = mailimap_section_new(nullptr);
        mailimap_fetch_att* body =
            whole != nullptr ? mailimap_fetch_att_new_body_peek_section(whole) : nullptr;
        if (body == nullptr) {
            if (whole != nullptr)
                mailimap_section_free(whole);
            return false;
        }
        if (mailimap_fetch_type_new_fetch_att_list_add(type.get(), body) != MAILIMAP_NO_ERROR) {
            mailimap_fetch_att_free(body);
            return false;
        }
        return true;
    }();
    if (!built)
        return d->failure(MAILIMAP_ERROR_MEMORY, QStringLiteral("fetching a message"));

    clist* raw = nullptr;
    d->start();
    const int r = mailimap_uid_fetch(d->imap, set.get(), type.get(), &raw);
    const FetchListPtr result{raw};
    const QString doing = QStringLiteral("fetching message %1 from “%2”").arg(uid).arg(folder);
    if (r != MAILIMAP_NO_ERROR)
        return d->failure(r, doing);

    bool found = false;
    for (clistiter* it = clist_begin(result.get()); it != nullptr; it = clist_next(it)) {
        const auto* att = static_cast<const mailimap_msg_att*>(clist_content(it));
        quint32 seen = 0;
        const mailimap_msg_att_body_section* section = nullptr;
        for (clistiter* i = clist_begin(att->att_list); i != nullptr; i = clist_next(i)) {
            const auto* item = static_cast<const mailimap_msg_att_item*>(clist_content(i));
            if (item->att_type != MAILIMAP_MSG_ATT_ITEM_STATIC ||
                item->att_data.att_static == nullptr)
                continue;
            const mailimap_msg_att_static* value = item->att_data.att_static;
            if (value->att_type == MAILIMAP_MSG_ATT_UID)
                seen = value->att_data.att_uid;
            else if (value->att_type == MAILIMAP_MSG_ATT_BODY_SECTION)
                section = value->att_data.att_body_section;
        }
        if (seen != uid || section == nullptr)
            continue;
        if (section->sec_body_part == nullptr) {
            return Private::error(ImapError::Kind::Protocol,
                                  QStringLiteral("The server %1 sent no content for message %2 "
                                                 "in “%3”")
                                      .arg(d->where())
                                      .arg(uid)
                                      .arg(folder));
        }
        *data = QByteArray(section->sec_body_part, qsizetype(section->sec_length));
        found = true;
    }
    if (!found) {
        return Private::error(ImapError::Kind::NonExistent,
                              QStringLiteral("There is no message %1 in “%2” on %3 any more")
                                  .arg(uid)
                                  .arg(folder, d->where()));
    }
    return {};
}

} // namespace tessaly
