#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace tessaly {

// How the connection to the server is secured, as the server string names it.
enum class ImapConnectionType { Clear = 1, StartTls = 2, Tls = 4 };

// IMAP over TLS from the first byte: the port a server string without one means.
inline constexpr int kImapTlsPort = 993;

struct ImapSessionSettings {
    QString hostname;
    int port = kImapTlsPort;
    QString username;
    QString password;    // LOGIN
    QString oauth2Token; // AUTHENTICATE XOAUTH2 when xoauth2 is set
    bool xoauth2 = false;
    ImapConnectionType connectionType = ImapConnectionType::Tls;
    // The one certificate the user chose to trust for this account although it does not
    // verify: the lowercase hex SHA-256 of its DER bytes, no separators. A different
    // certificate that does not verify is refused again.
    QString trustedCertificateSha256;
    // How long one network read or write may stall before the connection counts as dropped.
    int timeoutSeconds = 60;
};

struct ImapError {
    enum class Kind {
        None,
        Connection,     // could not connect, or the connection dropped: a new one may work
        Certificate,    // the server's certificate did not verify and is not the trusted one
        Authentication, // the server refused the credentials
        NonExistent,    // no such folder
        Protocol,       // the server answered something else than expected
        Cancelled
    };
    Kind kind = Kind::None;
    // One line for a person, never holding the password or token.
    QString description;
    // With Certificate: the lowercase hex SHA-256 of the server's certificate.
    QString certificateSha256;

    bool isError() const { return kind != Kind::None; }
};

struct ImapFolder {
    QString path; // decoded from modified UTF-7; as the server names it, untrusted
    QChar delimiter;
    QStringList flags; // e.g. "\\Noselect", "\\HasChildren"
    bool selectable() const {
        return !flags.contains(QStringLiteral("\\Noselect"), Qt::CaseInsensitive);
    }
};

struct ImapFolderInfo {
    int messageCount = 0;
    quint32 uidValidity = 0;
    quint32 uidNext = 0;
};

// A message as the header phase sees it: no body.
struct ImapMessage {
    quint32 sequence = 0;
    quint32 uid = 0;
    qint64 size = 0;   // RFC822.SIZE
    QByteArray header; // the raw header block (only with RequestKind::Headers)
};

enum class ImapRequestKind {
    Uids,   // UID only: the cheap listing a re-run compares with what it archived
    Headers // UID, size and the whole header block
};

// One running operation. Cancelling it means its completion is never called; a blocked
// network call is interrupted.
class ImapOperation {
public:
    virtual ~ImapOperation() = default;
    virtual void cancel() = 0;
};

// One IMAP account's connection. Operations queue on the session's own worker thread and run
// one after another there; their completions run on the thread that owns the session (the
// main thread), in order. The session connects and logs in on demand, and after a dropped
// connection the next operation connects again.
class ImapSession : public QObject {
    Q_OBJECT

public:
    explicit ImapSession(ImapSessionSettings settings, QObject* parent = nullptr);
    ~ImapSession() override; // cancels everything queued, ends the worker thread

    const ImapSessionSettings& settings() const;
    // A new access token for later operations (an OAuth refresh).
    void setOAuth2Token(const QString& token);

    template <typename T> using Completion = std::function<void(const ImapError&, T)>;

    std::shared_ptr<ImapOperation> fetchAllFolders(Completion<QList<ImapFolder>> done);
    // EXAMINE: count, UIDVALIDITY, UIDNEXT.
    std::shared_ptr<ImapOperation> folderInfo(const QString& folder,
                                              Completion<ImapFolderInfo> done);
    // Messages numbered start … start + length (both ends included), in one command.
    std::shared_ptr<ImapOperation> fetchMessagesByNumber(const QString& folder, quint32 start,
                                                         quint32 length, ImapRequestKind kind,
                                                         Completion<QList<ImapMessage>> done);
    // The given UIDs, in one command (the set is sent as ranges).
    std::shared_ptr<ImapOperation> fetchMessagesByUid(const QString& folder,
                                                      const QList<quint32>& uids,
                                                      ImapRequestKind kind,
                                                      Completion<QList<ImapMessage>> done);
    // The whole raw message, BODY.PEEK[] (the \Seen flag is left alone).
    std::shared_ptr<ImapOperation> fetchMessage(const QString& folder, quint32 uid,
                                                Completion<QByteArray> done);

    // Every operation queued or running is cancelled.
    void cancelAll();

private:
    class Worker;
    std::unique_ptr<Worker> m_worker;
};

} // namespace tessaly
