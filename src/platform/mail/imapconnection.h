#pragma once

#include "platform/mail/imapsession.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <mutex>

namespace tessaly {

// Lets another thread break off whatever a connection is waiting for. The socket is shut down,
// which makes a blocked read, write or TLS handshake return at once; a connect still in
// progress is woken through an event descriptor of its own. shutdown(2), not close(2): the
// descriptor stays ours until the connection's thread closes it, so the number cannot be
// reused under a read that is still running. libetpan's own mailstream_cancel is not used:
// its cancel pipe belongs to a stream layer that STARTTLS replaces and closing frees on the
// connection's thread, so reaching it from another thread races with both, and neither the
// connect nor the TLS handshake watches it.
class ImapInterrupter {
public:
    ImapInterrupter();
    ~ImapInterrupter();
    ImapInterrupter(const ImapInterrupter&) = delete;
    ImapInterrupter& operator=(const ImapInterrupter&) = delete;

    // Any thread.
    void interrupt();
    bool isInterrupted() const;

    // The connection's own thread: before the next operation, and around the socket's life.
    void rearm();
    void attachSocket(int fd);
    void detachSocket();
    int wakeDescriptor() const { return m_wake; }

private:
    mutable std::mutex m_mutex;
    int m_socket = -1;
    int m_wake = -1;
    bool m_interrupted = false;
};

// How the server spelled each folder it listed, by the name shown for it, so a name that is
// not well-formed modified UTF-7 still reaches the server exactly as the server sent it.
using ImapWireNames = QHash<QString, QByteArray>;

// One IMAP connection, logged in, over libetpan. Used by one thread at a time; every call
// blocks until the server answered, the timeout passed or the interrupter fired. After a
// failure at the connection level the connection is spent and says so.
class ImapConnection {
public:
    ImapConnection(ImapSessionSettings settings, ImapInterrupter& interrupter,
                   ImapWireNames& wireNames);
    ~ImapConnection();
    ImapConnection(const ImapConnection&) = delete;
    ImapConnection& operator=(const ImapConnection&) = delete;

    // Connects, secures the connection, checks the certificate and logs in.
    ImapError open();
    // Logged in and not known to be dropped (a server that said goodbye while we were idle
    // shows up here, before a command is sent into a closed connection).
    bool isUsable() const;

    ImapError listFolders(QList<ImapFolder>* folders);
    ImapError folderInfo(const QString& folder, ImapFolderInfo* info);
    ImapError fetchByNumber(const QString& folder, quint32 first, quint32 last,
                            ImapRequestKind kind, QList<ImapMessage>* messages);
    ImapError fetchByUid(const QString& folder, const QList<quint32>& uids, ImapRequestKind kind,
                         QList<ImapMessage>* messages);
    ImapError fetchMessage(const QString& folder, quint32 uid, QByteArray* data);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace tessaly
