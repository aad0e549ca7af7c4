#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QList>
#include <QSslSocket>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class QProcess;

namespace tessaly::test {

// What Dovecot counted over the sessions that have ended (one logout line each).
struct FetchCounters {
    qint64 sessions = 0;
    qint64 headerFetches = 0; // messages whose headers alone were fetched
    qint64 headerBytes = 0;
    qint64 bodyFetches = 0; // messages whose body was fetched
    qint64 bodyBytes = 0;
};

// A private Dovecot on 127.0.0.1, with its configuration, certificate, log and mail in a
// folder of its own that goes with it. Folders and messages are written straight into the
// users' Maildirs (Dovecot picks them up on its next look), so tens of thousands of messages
// take seconds.
//
// Folders use Dovecot's Maildir++ layout with the listescape plugin and "/" as separator,
// which takes the most hostile names Dovecot 2.3 lets through: "..", ".", "~" and "\" are
// escaped on disk as \NN. What it refuses whatever the layout: control characters in CREATE
// and RENAME, names that are not modified UTF-7 (2.3 has no UTF8=ACCEPT), empty levels
// ("a//b") and a leading separator. LAYOUT=fs also refuses "." and ".." levels; LAYOUT=index
// takes them but keeps names only in its index. So folders are made on disk, where a tab
// passes and LISTs, EXAMINEs and SELECTs as written (e.g. "Reports/../x<TAB>Über").
class DovecotServer {
public:
    struct Options {
        QStringList users = {QStringLiteral("alice")};
        QString password = QStringLiteral("secret-pw"); // the same for every user
    };

    // Null with the reason (and the log's last lines) when Dovecot did not come up in 20 s.
    static std::unique_ptr<DovecotServer> start(const Options& options, QString* error);
    ~DovecotServer(); // stops Dovecot and every process it started, removes its folder

    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 imapPort() const { return m_imapPort; }   // clear text, STARTTLS offered
    quint16 imapsPort() const { return m_imapsPort; } // TLS from the start
    QString password() const { return m_options.password; }
    // The self-signed certificate: lowercase hex SHA-256 of its DER bytes, and its PEM file.
    QString certificateSha256() const { return m_certificateSha256; }
    QString certificateFile() const;
    // An access token for AUTHENTICATE XOAUTH2 (or OAUTHBEARER) as this user, valid for the
    // given time from now; a negative time gives one that has expired.
    QString oauth2Token(const QString& user, qint64 validForSeconds = 3600) const;
    QString maildir(const QString& user) const;

    // IMAP names with "/" between levels; parents are not made (they LIST as \Noselect).
    // "INBOX" is there from the start.
    [[nodiscard]] bool createFolder(const QString& user, const QString& folder, QString* error);
    // Adds the messages to an existing folder as unseen mail, in this order.
    [[nodiscard]] bool addMessages(const QString& user, const QString& folder,
                                   const QList<QByteArray>& messages, QString* error);
    // Deletes the message with this Message-ID (angle brackets optional) from the folder, as
    // another client's EXPUNGE would.
    [[nodiscard]] bool removeMessage(const QString& user, const QString& folder,
                                     const QByteArray& messageId, QString* error);
    // Adds one message through a real IMAP LOGIN and APPEND, so connected clients are told.
    [[nodiscard]] bool append(const QString& user, const QString& folder, const QByteArray& message,
                              QString* error);

    // Summed over the log. A session's line is written when it logs out or its connection
    // drops, a moment after the client is done: call waitForSessionsEnded() first.
    FetchCounters fetchCounters() const;
    // Waits, running the event loop, until every session that logged in has ended.
    [[nodiscard]] bool waitForSessionsEnded(int timeoutMs = 10000) const;
    QString logTail(int lines) const;

private:
    DovecotServer() = default;
    bool prepare(QString* error);
    bool launch(QString* error, bool* portClash);
    void stop();
    QString logText() const;
    QString folderPath(const QString& user, const QString& folder, QString* error) const;
    bool giveToMailUser(const QString& path) const;

    Options m_options;
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/tessaly-dovecot-XXXXXX")};
    std::unique_ptr<QProcess> m_process;
    QString m_certificateSha256;
    QByteArray m_tokenKey;
    quint16 m_imapPort = 0;
    quint16 m_imapsPort = 0;
    uint m_mailUid = 0;
    uint m_mailGid = 0;
    QString m_loginUser;
    QString m_internalUser;
    QString m_internalGroup;
    int m_attempt = 0;
};

// A blocking IMAP client for checking the server itself and for the fixture's own APPEND.
// It waits in a local event loop, so a CuttingProxy on the same thread keeps forwarding.
class ImapTestClient {
public:
    enum class Security { Clear, StartTls, Tls };
    struct Reply {
        QList<QByteArray> untagged; // each untagged response, literals inline, no final CRLF
        QByteArray status;          // the tagged line without its tag; empty when none came
        bool ok() const { return status.startsWith("OK"); }
    };

    ImapTestClient();
    ~ImapTestClient();

    // Reads the greeting; with StartTls or Tls, the server's certificate is accepted only
    // when its SHA-256 is the given one.
    [[nodiscard]] bool connectTo(const QString& host, quint16 port, Security security,
                                 const QString& certificateSha256, QString* error);
    // A continuation request (a SASL error challenge) is answered with an empty line.
    Reply command(const QByteArray& text, int timeoutMs = 10000);
    // Sends text, then the literal once the server asks for it.
    Reply command(const QByteArray& text, const QByteArray& literal, int timeoutMs = 10000);
    QString peerCertificateSha256() const;
    bool isEncrypted() const;
    bool isConnected() const;

private:
    bool waitForSocket(const QDeadlineTimer& deadline);
    bool readResponse(QByteArray* response, const QDeadlineTimer& deadline);
    bool startTls(QString* error);
    Reply readReply(const QByteArray& tag, const QDeadlineTimer& deadline);

    std::unique_ptr<QSslSocket> m_socket;
    QByteArray m_buffer;
    int m_nextTag = 1;
};

// A folder name as IMAP sends it (modified UTF-7), and back.
QByteArray toImapUtf7(const QString& name);
QString fromImapUtf7(const QByteArray& name);
// A string as an IMAP quoted string.
QByteArray imapQuoted(const QByteArray& text);

// Small messages with unique Message-IDs, subjects and dates: <tag-N@tessaly.test>.
QList<QByteArray> generatedMessages(int count, const QString& tag);
// The shared corpus's .eml files cycled, each given a unique Message-ID the same way; empty
// when the corpus is not there.
QList<QByteArray> corpusMessages(int count, const QString& tag);

} // namespace tessaly::test
