#include "dovecotserver.h"

#include "testsupport.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QMessageAuthenticationCode>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaly::test {

namespace {

constexpr int kStartTimeoutMs = 20000;
constexpr int kStartAttempts = 3;

// Placeholders are @NAME@ so that Dovecot's own %u and %{...} pass through untouched.
constexpr char kConfigTemplate[] = R"(base_dir = @RUN@
state_dir = @DIR@/state
log_path = @DIR@/dovecot.log
info_log_path = @DIR@/dovecot.log
debug_log_path = @DIR@/dovecot.log
protocols = imap
listen = 127.0.0.1
shutdown_clients = yes

# As root, Dovecot refuses to run login processes or mail access as root: they get Dovecot's
# own accounts. As anyone else, every process runs as that user.
default_login_user = @LOGINUSER@
default_internal_user = @INTERNALUSER@
default_internal_group = @INTERNALGROUP@
first_valid_uid = @UID@
first_valid_gid = @GID@
mail_uid = @UID@
mail_gid = @GID@

disable_plaintext_auth = no
auth_mechanisms = plain login xoauth2 oauthbearer
auth_failure_delay = 0
ssl = yes
ssl_cert = <@DIR@/cert.pem
ssl_key = <@DIR@/key.pem

mail_location = maildir:~/Maildir
mail_plugins = listescape
# Folders written straight to disk must show at the next LIST, not after a cache expires.
mailbox_list_index = no
imap_logout_format = in=%i out=%o fetch_hdr_count=%{fetch_hdr_count} fetch_hdr_bytes=%{fetch_hdr_bytes} fetch_body_count=%{fetch_body_count} fetch_body_bytes=%{fetch_body_bytes}

namespace inbox {
  inbox = yes
  separator = /
}
plugin {
  listescape_char = "\\"
}

# Access tokens are JWTs signed with a key of this server's own, checked without a network.
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = @DIR@/oauth2.conf
}
passdb {
  driver = passwd-file
  mechanisms = plain login
  args = scheme=PLAIN username_format=%u @DIR@/passwd
}
userdb {
  driver = static
  args = uid=@UID@ gid=@GID@ home=@DIR@/home/%u
}

protocol imap {
  mail_max_userip_connections = 200
}
service anvil {
  chroot =
  # Tests try wrong credentials on purpose: no growing delay for 127.0.0.1 afterwards.
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service imap-login {
  chroot =
  inet_listener imap {
    address = 127.0.0.1
    port = @IMAPPORT@
  }
  inet_listener imaps {
    address = 127.0.0.1
    port = @IMAPSPORT@
    ssl = yes
  }
}
)";

QString userName(uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

QString groupName(gid_t gid) {
    const group* entry = ::getgrgid(gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString();
}

// An unprivileged account that exists, with its ids.
bool findAccount(const QStringList& candidates, QString* name, uint* uid, uint* gid) {
    for (const QString& candidate : candidates) {
        if (const passwd* entry = ::getpwnam(candidate.toLocal8Bit().constData())) {
            *name = candidate;
            *uid = entry->pw_uid;
            *gid = entry->pw_gid;
            return true;
        }
    }
    return false;
}

quint16 freePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

bool writeWholeFile(const QString& path, const QByteArray& data, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size() ||
        !file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QString lastLines(const QString& text, int lines) {
    QStringList all = text.split(u'\n');
    while (!all.isEmpty() && all.constLast().isEmpty()) {
        all.removeLast();
    }
    return all.mid(qMax(0, all.size() - lines)).join(u'\n');
}

// The folder's name as Dovecot's listescape plugin stores it under Maildir++: levels joined
// by ".", the characters Maildir++ or the shell give a meaning ("." anywhere, "\" and a
// leading "~") escaped as \NN, and the result in modified UTF-7.
QByteArray storageName(const QString& folder) {
    QString escaped;
    for (qsizetype i = 0; i < folder.size(); ++i) {
        const QChar c = folder.at(i);
        if (c == u'/') {
            escaped += u'.';
        } else if (c == u'.' || c == u'\\' || (i == 0 && c == u'~')) {
            escaped += QStringLiteral("\\%1").arg(c.unicode(), 2, 16, QChar(u'0'));
        } else {
            escaped += c;
        }
    }
    return toImapUtf7(escaped);
}

QByteArray headerBlock(const QByteArray& message) {
    const qsizetype crlf = message.indexOf("\r\n\r\n");
    const qsizetype lf = message.indexOf("\n\n");
    qsizetype end = message.size();
    if (crlf >= 0 && (lf < 0 || crlf < lf)) {
        end = crlf + 2;
    } else if (lf >= 0) {
        end = lf + 1;
    }
    return message.left(end);
}

// The Message-ID of a header block without angle brackets, folded lines joined.
QByteArray messageIdOf(const QByteArray& header) {
    static const QRegularExpression pattern(
        QStringLiteral("^message-id:[ \\t]*((?:.*)(?:\\r?\\n[ \\t].*)*)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(header));
    if (!match.hasMatch()) {
        return {};
    }
    QByteArray id = match.captured(1).toLatin1().simplified();
    id.replace(" ", "");
    if (id.startsWith('<')) {
        id.remove(0, 1);
    }
    if (id.endsWith('>')) {
        id.chop(1);
    }
    return id;
}

QByteArray withMessageId(const QByteArray& message, const QByteArray& id) {
    const QByteArray eol = message.contains("\r\n") ? QByteArray("\r\n") : QByteArray("\n");
    const QByteArray header = headerBlock(message);
    QList<QByteArray> kept;
    bool dropping = false;
    for (const QByteArray& line : header.split('\n')) {
        const bool continuation = line.startsWith(' ') || line.startsWith('\t');
        if (!continuation) {
            dropping = line.toLower().startsWith("message-id:");
        }
        if (!dropping) {
            kept.append(line);
        }
    }
    return "Message-ID: <" + id + ">" + eol + kept.join('\n') + message.mid(header.size());
}

} // namespace

// --- DovecotServer ---

std::unique_ptr<DovecotServer> DovecotServer::start(const Options& options, QString* error) {
    std::unique_ptr<DovecotServer> server(new DovecotServer);
    server->m_options = options;
    if (!server->prepare(error)) {
        return nullptr;
    }
    for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
        bool portClash = false;
        if (server->launch(error, &portClash)) {
            return server;
        }
        server->stop();
        if (!portClash) {
            return nullptr;
        }
    }
    return nullptr;
}

DovecotServer::~DovecotServer() {
    stop();
}

bool DovecotServer::prepare(QString* error) {
    if (!m_dir.isValid()) {
        *error = QStringLiteral("cannot make a temporary folder: %1").arg(m_dir.errorString());
        return false;
    }
    if (m_options.users.isEmpty() || m_options.password.isEmpty() ||
        m_options.password.contains(u':') || m_options.password.contains(u'\n')) {
        *error = QStringLiteral("a user and a password without ':' or line breaks are needed");
        return false;
    }
    if (geteuid() == 0) {
        QString mailUser;
        uint loginUid = 0;
        uint loginGid = 0;
        if (!findAccount({QStringLiteral("dovecot"), QStringLiteral("nobody")}, &mailUser,
                         &m_mailUid, &m_mailGid) ||
            !findAccount({QStringLiteral("dovenull"), QStringLiteral("nobody")}, &m_loginUser,
                         &loginUid, &loginGid)) {
            *error = QStringLiteral("no unprivileged account (dovecot, dovenull, nobody) to run "
                                    "Dovecot's processes as");
            return false;
        }
        m_internalUser = mailUser;
        m_internalGroup = groupName(m_mailGid);
    } else {
        m_mailUid = geteuid();
        m_mailGid = getegid();
        m_loginUser = m_internalUser = userName(m_mailUid);
        m_internalGroup = groupName(m_mailGid);
    }
    if (m_internalUser.isEmpty() || m_internalGroup.isEmpty()) {
        *error =
            QStringLiteral("the user or group %1:%2 has no name").arg(m_mailUid).arg(m_mailGid);
        return false;
    }

    // Dovecot's unprivileged processes read the password file and the mail below this folder.
    const QString dir = m_dir.path();
    if (::chmod(QFile::encodeName(dir).constData(), 0711) != 0) {
        *error = QStringLiteral("cannot open %1 to Dovecot: %2")
                     .arg(dir, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    QDir().mkpath(dir + QStringLiteral("/state"));

    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1"),
                   QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-keyout"),
                   dir + QStringLiteral("/key.pem"), QStringLiteral("-out"), certificateFile()});
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        *error = QStringLiteral("openssl could not make a certificate: %1 %2")
                     .arg(openssl.errorString(), QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    const QList<QSslCertificate> certificates =
        QSslCertificate::fromPath(certificateFile(), QSsl::Pem);
    if (certificates.size() != 1) {
        *error = QStringLiteral("the certificate openssl made cannot be read");
        return false;
    }
    m_certificateSha256 =
        QString::fromLatin1(certificates.first().digest(QCryptographicHash::Sha256).toHex());

    // The oauth2 passdb looks keys up as KEYS/<azp>/<alg>/<kid>, the key base64-encoded.
    m_tokenKey = QByteArray::number(QRandomGenerator::system()->generate64(), 16) +
                 QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    const QString keys = dir + QStringLiteral("/keys/default/HS256");
    if (!QDir().mkpath(keys) ||
        !writeWholeFile(keys + QStringLiteral("/default"), m_tokenKey.toBase64(), error) ||
        !writeWholeFile(dir + QStringLiteral("/oauth2.conf"),
                        "introspection_mode = local\n"
                        "local_validation_key_dict = fs:posix:prefix=" +
                            QFile::encodeName(dir) +
                            "/keys/\n"
                            "username_attribute = sub\n",
                        error)) {
        return false;
    }

    QByteArray passwd;
    for (const QString& user : std::as_const(m_options.users)) {
        if (user.isEmpty() || user.contains(u':') || user.contains(u'/') || user.contains(u'\n')) {
            *error = QStringLiteral("unusable user name '%1'").arg(user);
            return false;
        }
        passwd += user.toUtf8() + ":{PLAIN}" + m_options.password.toUtf8() + "\n";
        if (!createFolder(user, QStringLiteral("INBOX"), error)) {
            return false;
        }
    }
    if (!writeWholeFile(dir + QStringLiteral("/passwd"), passwd, error) ||
        !giveToMailUser(dir + QStringLiteral("/home"))) {
        return false;
    }
    // Dovecot's auth process reads these as its own unprivileged user, whatever the umask.
    for (const QString& path :
         {dir + QStringLiteral("/passwd"), dir + QStringLiteral("/oauth2.conf"),
          dir + QStringLiteral("/keys"), dir + QStringLiteral("/keys/default"), keys,
          keys + QStringLiteral("/default")}) {
        const mode_t mode = QFileInfo(path).isDir() ? 0755 : 0644;
        if (::chmod(QFile::encodeName(path).constData(), mode) != 0) {
            *error = QStringLiteral("cannot open %1 to Dovecot").arg(path);
            return false;
        }
    }
    return true;
}

bool DovecotServer::launch(QString* error, bool* portClash) {
    ++m_attempt;
    const QString dir = m_dir.path();
    // A fresh runtime folder per attempt: a Dovecot that failed may leave its pid file behind.
    const QString run = dir + QStringLiteral("/run%1").arg(m_attempt);
    m_imapPort = freePort();
    m_imapsPort = freePort();
    while (m_imapsPort == m_imapPort && m_imapPort != 0) {
        m_imapsPort = freePort();
    }
    if (m_imapPort == 0 || m_imapsPort == 0) {
        *error = QStringLiteral("no free port on 127.0.0.1");
        return false;
    }
    QString config = QString::fromLatin1(kConfigTemplate);
    config.replace(QStringLiteral("@RUN@"), run)
        .replace(QStringLiteral("@DIR@"), dir)
        .replace(QStringLiteral("@LOGINUSER@"), m_loginUser)
        .replace(QStringLiteral("@INTERNALUSER@"), m_internalUser)
        .replace(QStringLiteral("@INTERNALGROUP@"), m_internalGroup)
        .replace(QStringLiteral("@UID@"), QString::number(m_mailUid))
        .replace(QStringLiteral("@GID@"), QString::number(m_mailGid))
        .replace(QStringLiteral("@IMAPPORT@"), QString::number(m_imapPort))
        .replace(QStringLiteral("@IMAPSPORT@"), QString::number(m_imapsPort));
    const QString configFile = dir + QStringLiteral("/dovecot.conf");
    if (!writeWholeFile(configFile, config.toUtf8(), error)) {
        return false;
    }

    QString program = QStandardPaths::findExecutable(QStringLiteral("dovecot"));
    if (program.isEmpty()) {
        program = QStandardPaths::findExecutable(
            QStringLiteral("dovecot"),
            {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    }
    if (program.isEmpty()) {
        *error = QStringLiteral("dovecot is not installed (packages dovecot-core dovecot-imapd)");
        return false;
    }
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    // A group of its own, so that stopping it reaches every process Dovecot started; and it
    // shuts down when the test process dies without stopping it.
    m_process->setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    m_process->start(program, {QStringLiteral("-F"), QStringLiteral("-c"), configFile});
    if (!m_process->waitForStarted(5000)) {
        *error = QStringLiteral("cannot start %1: %2").arg(program, m_process->errorString());
        return false;
    }

    const QDeadlineTimer deadline(kStartTimeoutMs);
    QString lastProblem;
    while (!deadline.hasExpired()) {
        if (m_process->state() == QProcess::NotRunning) {
            break;
        }
        ImapTestClient plain;
        ImapTestClient tls;
        if (plain.connectTo(host(), m_imapPort, ImapTestClient::Security::Clear, {},
                            &lastProblem) &&
            tls.connectTo(host(), m_imapsPort, ImapTestClient::Security::Tls, m_certificateSha256,
                          &lastProblem)) {
            return true;
        }
        QTest::qWait(50);
    }
    const QString output = m_process->state() == QProcess::NotRunning
                               ? QString::fromLocal8Bit(m_process->readAll())
                               : QString();
    *portClash = (output + logText()).contains(QStringLiteral("Address already in use"));
    *error = QStringLiteral("Dovecot did not come up on ports %1 and %2 (%3)\n%4%5")
                 .arg(m_imapPort)
                 .arg(m_imapsPort)
                 .arg(lastProblem, output, logTail(20));
    return false;
}

void DovecotServer::stop() {
    if (!m_process) {
        return;
    }
    if (m_process->state() != QProcess::NotRunning) {
        const pid_t group = static_cast<pid_t>(m_process->processId());
        ::kill(-group, SIGTERM);
        if (!m_process->waitForFinished(10000)) {
            ::kill(-group, SIGKILL);
            m_process->waitForFinished(5000);
        }
        // Whatever the master left behind when it went.
        ::kill(-group, SIGKILL);
    }
    m_process.reset();
}

QString DovecotServer::oauth2Token(const QString& user, qint64 validForSeconds) const {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray header =
        QJsonDocument(QJsonObject{{QStringLiteral("alg"), QStringLiteral("HS256")},
                                  {QStringLiteral("typ"), QStringLiteral("JWT")}})
            .toJson(QJsonDocument::Compact)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    const QByteArray claims =
        QJsonDocument(QJsonObject{{QStringLiteral("sub"), user},
                                  {QStringLiteral("iat"), qMin(now, now + validForSeconds) - 60},
                                  {QStringLiteral("exp"), now + validForSeconds}})
            .toJson(QJsonDocument::Compact)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    const QByteArray signature =
        QMessageAuthenticationCode::hash(header + '.' + claims, m_tokenKey,
                                         QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    return QString::fromLatin1(header + '.' + claims + '.' + signature);
}

QString DovecotServer::certificateFile() const {
    return m_dir.path() + QStringLiteral("/cert.pem");
}

QString DovecotServer::maildir(const QString& user) const {
    return m_dir.path() + QStringLiteral("/home/") + user + QStringLiteral("/Maildir");
}

QString DovecotServer::folderPath(const QString& user, const QString& folder,
                                  QString* error) const {
    if (!m_options.users.contains(user)) {
        *error = QStringLiteral("no user '%1' on this server").arg(user);
        return {};
    }
    if (folder.compare(QStringLiteral("INBOX"), Qt::CaseInsensitive) == 0) {
        return maildir(user);
    }
    if (folder.isEmpty() || folder.startsWith(u'/') || folder.endsWith(u'/') ||
        folder.contains(QStringLiteral("//")) || folder.contains(QChar(0))) {
        *error = QStringLiteral("'%1' is not a folder name Dovecot can hold").arg(folder);
        return {};
    }
    const QByteArray name = storageName(folder);
    if (name.size() + 1 > NAME_MAX) {
        *error = QStringLiteral("the folder name '%1' is too long for a Maildir").arg(folder);
        return {};
    }
    return maildir(user) + u'/' + QFile::decodeName("." + name);
}

bool DovecotServer::giveToMailUser(const QString& path) const {
    if (geteuid() != 0) {
        return true;
    }
    QStringList paths{path};
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        paths.append(it.next());
    }
    for (const QString& entry : std::as_const(paths)) {
        if (::lchown(QFile::encodeName(entry).constData(), m_mailUid, m_mailGid) != 0) {
            return false;
        }
    }
    return true;
}

bool DovecotServer::createFolder(const QString& user, const QString& folder, QString* error) {
    const QString path = folderPath(user, folder, error);
    if (path.isEmpty()) {
        return false;
    }
    for (const char* sub : {"cur", "new", "tmp"}) {
        const QString subPath = path + u'/' + QLatin1String(sub);
        if (!QDir().mkpath(subPath)) {
            *error = QStringLiteral("cannot make %1").arg(subPath);
            return false;
        }
    }
    if (path != maildir(user)) {
        QFile marker(path + QStringLiteral("/maildirfolder"));
        if (!marker.open(QIODevice::WriteOnly)) {
            *error = QStringLiteral("cannot write %1").arg(marker.fileName());
            return false;
        }
    }
    if (!giveToMailUser(m_dir.path() + QStringLiteral("/home/") + user)) {
        *error = QStringLiteral("cannot hand %1 to Dovecot's mail user").arg(path);
        return false;
    }
    return true;
}

bool DovecotServer::addMessages(const QString& user, const QString& folder,
                                const QList<QByteArray>& messages, QString* error) {
    static QAtomicInteger<quint64> sequence;
    const QString path = folderPath(user, folder, error);
    if (path.isEmpty()) {
        return false;
    }
    if (!QFileInfo(path + QStringLiteral("/cur")).isDir()) {
        *error = QStringLiteral("no folder '%1' for %2").arg(folder, user);
        return false;
    }
    const bool chownNeeded = geteuid() == 0;
    for (const QByteArray& message : messages) {
        // Dovecot numbers new files by the time in their names and then by the rest of the
        // name: fixed-width sequence numbers keep the order they were given in.
        const QByteArray base =
            QByteArray::number(QDateTime::currentSecsSinceEpoch()) + ".Q" +
            QByteArray::number(sequence.fetchAndAddRelaxed(1)).rightJustified(10, '0') + "P" +
            QByteArray::number(::getpid()) + ".tessaly";
        const QByteArray tmp = QFile::encodeName(path) + "/tmp/" + base;
        const QByteArray final = QFile::encodeName(path) + "/cur/" + base +
                                 ",S=" + QByteArray::number(message.size()) + ":2,";
        QFile file(QFile::decodeName(tmp));
        if (!file.open(QIODevice::WriteOnly) || file.write(message) != message.size() ||
            !file.flush() || (chownNeeded && ::fchown(file.handle(), m_mailUid, m_mailGid) != 0)) {
            *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
        file.close();
        if (::rename(tmp.constData(), final.constData()) != 0) {
            *error = QStringLiteral("cannot move %1 into cur: %2")
                         .arg(file.fileName(), QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

bool DovecotServer::removeMessage(const QString& user, const QString& folder,
                                  const QByteArray& messageId, QString* error) {
    const QString path = folderPath(user, folder, error);
    if (path.isEmpty()) {
        return false;
    }
    QByteArray wanted = messageId.trimmed();
    if (wanted.startsWith('<') && wanted.endsWith('>')) {
        wanted = wanted.mid(1, wanted.size() - 2);
    }
    for (const char* sub : {"cur", "new"}) {
        QDirIterator it(path + u'/' + QLatin1String(sub), QDir::Files);
        while (it.hasNext()) {
            QFile file(it.next());
            if (!file.open(QIODevice::ReadOnly)) {
                continue;
            }
            if (messageIdOf(headerBlock(file.read(256 * 1024))) == wanted) {
                file.close();
                if (!file.remove()) {
                    *error = QStringLiteral("cannot delete %1").arg(file.fileName());
                    return false;
                }
                return true;
            }
        }
    }
    *error = QStringLiteral("no message <%1> in '%2'").arg(QString::fromLatin1(wanted), folder);
    return false;
}

bool DovecotServer::append(const QString& user, const QString& folder, const QByteArray& message,
                           QString* error) {
    ImapTestClient client;
    if (!client.connectTo(host(), m_imapPort, ImapTestClient::Security::Clear, {}, error)) {
        return false;
    }
    const ImapTestClient::Reply login = client.command("LOGIN " + imapQuoted(user.toUtf8()) + " " +
                                                       imapQuoted(m_options.password.toUtf8()));
    if (!login.ok()) {
        *error = QStringLiteral("LOGIN failed: %1").arg(QString::fromUtf8(login.status));
        return false;
    }
    const ImapTestClient::Reply appended =
        client.command("APPEND " + imapQuoted(toImapUtf7(folder)), message);
    (void)client.command("LOGOUT");
    if (!appended.ok()) {
        *error = QStringLiteral("APPEND failed: %1").arg(QString::fromUtf8(appended.status));
        return false;
    }
    return true;
}

QString DovecotServer::logText() const {
    return QString::fromUtf8(readFile(m_dir.path() + QStringLiteral("/dovecot.log")));
}

QString DovecotServer::logTail(int lines) const {
    return lastLines(logText(), lines);
}

FetchCounters DovecotServer::fetchCounters() const {
    static const QRegularExpression field(
        QStringLiteral("\\b(fetch_(?:hdr|body)_(?:count|bytes))=(\\d+)"));
    FetchCounters counters;
    const QStringList lines = logText().split(u'\n');
    for (const QString& line : lines) {
        if (!line.contains(QStringLiteral("fetch_body_count="))) {
            continue;
        }
        ++counters.sessions;
        QRegularExpressionMatchIterator it = field.globalMatch(line);
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            const qint64 value = match.captured(2).toLongLong();
            const QString name = match.captured(1);
            if (name == QLatin1String("fetch_hdr_count")) {
                counters.headerFetches += value;
            } else if (name == QLatin1String("fetch_hdr_bytes")) {
                counters.headerBytes += value;
            } else if (name == QLatin1String("fetch_body_count")) {
                counters.bodyFetches += value;
            } else {
                counters.bodyBytes += value;
            }
        }
    }
    return counters;
}

bool DovecotServer::waitForSessionsEnded(int timeoutMs) const {
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const QString log = logText();
        const qsizetype logins = log.count(QStringLiteral(": Info: Login: user=<"));
        const qsizetype ended = log.count(QStringLiteral("fetch_body_count="));
        if (ended >= logins) {
            return true;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(20);
    }
}

// --- ImapTestClient ---

ImapTestClient::ImapTestClient() = default;
ImapTestClient::~ImapTestClient() = default;

bool ImapTestClient::isConnected() const {
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

bool ImapTestClient::isEncrypted() const {
    return m_socket && m_socket->isEncrypted();
}

QString ImapTestClient::peerCertificateSha256() const {
    return m_socket ? QString::fromLatin1(
                          m_socket->peerCertificate().digest(QCryptographicHash::Sha256).toHex())
                    : QString();
}

bool ImapTestClient::waitForSocket(const QDeadlineTimer& deadline) {
    if (deadline.hasExpired() || m_socket->state() == QAbstractSocket::UnconnectedState) {
        return false;
    }
    QEventLoop loop;
    QSslSocket* socket = m_socket.get();
    QObject::connect(socket, &QIODevice::readyRead, &loop, &QEventLoop::quit);
    QObject::connect(socket, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
    QObject::connect(socket, &QAbstractSocket::stateChanged, &loop, &QEventLoop::quit);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(qMax<qint64>(1, deadline.remainingTime()), &loop, &QEventLoop::quit);
    loop.exec();
    return true;
}

bool ImapTestClient::readResponse(QByteArray* response, const QDeadlineTimer& deadline) {
    response->clear();
    qsizetype literalLeft = -1;
    for (;;) {
        m_buffer += m_socket->readAll();
        if (literalLeft >= 0) {
            if (m_buffer.size() >= literalLeft) {
                *response += m_buffer.left(literalLeft);
                m_buffer.remove(0, literalLeft);
                literalLeft = -1;
                continue;
            }
        } else if (const qsizetype end = m_buffer.indexOf("\r\n"); end >= 0) {
            const QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 2);
            *response += line;
            static const QRegularExpression literal(QStringLiteral("\\{(\\d+)\\}$"));
            const QRegularExpressionMatch match = literal.match(QString::fromLatin1(line));
            if (!match.hasMatch()) {
                return true;
            }
            *response += "\r\n";
            literalLeft = match.captured(1).toLongLong();
            continue;
        }
        if (!waitForSocket(deadline)) {
            return false;
        }
    }
}

ImapTestClient::Reply ImapTestClient::readReply(const QByteArray& tag,
                                                const QDeadlineTimer& deadline) {
    Reply reply;
    QByteArray response;
    while (readResponse(&response, deadline)) {
        if (response.startsWith(tag + ' ')) {
            reply.status = response.mid(tag.size() + 1);
            break;
        }
        if (response.startsWith('+')) {
            // Only SASL asks here: an empty line acknowledges its error challenge.
            m_socket->write("\r\n");
        }
        reply.untagged.append(response);
    }
    return reply;
}

ImapTestClient::Reply ImapTestClient::command(const QByteArray& text, int timeoutMs) {
    if (!isConnected()) {
        return {};
    }
    const QByteArray tag = "t" + QByteArray::number(m_nextTag++);
    m_socket->write(tag + ' ' + text + "\r\n");
    return readReply(tag, QDeadlineTimer(timeoutMs));
}

ImapTestClient::Reply ImapTestClient::command(const QByteArray& text, const QByteArray& literal,
                                              int timeoutMs) {
    if (!isConnected()) {
        return {};
    }
    const QDeadlineTimer deadline(timeoutMs);
    const QByteArray tag = "t" + QByteArray::number(m_nextTag++);
    m_socket->write(tag + ' ' + text + " {" + QByteArray::number(literal.size()) + "}\r\n");
    Reply reply;
    QByteArray response;
    while (readResponse(&response, deadline)) {
        if (response.startsWith("+")) {
            m_socket->write(literal + "\r\n");
            return readReply(tag, deadline);
        }
        if (response.startsWith(tag + ' ')) {
            reply.status = response.mid(tag.size() + 1);
            return reply;
        }
    }
    return reply;
}

bool ImapTestClient::connectTo(const QString& host, quint16 port, Security security,
                               const QString& certificateSha256, QString* error) {
    m_socket = std::make_unique<QSslSocket>();
    m_buffer.clear();
    QSslSocket* socket = m_socket.get();
    // A self-signed certificate is taken only when it is the one expected.
    QObject::connect(socket, &QSslSocket::sslErrors, socket, [socket, certificateSha256] {
        const QString presented = QString::fromLatin1(
            socket->peerCertificate().digest(QCryptographicHash::Sha256).toHex());
        if (!certificateSha256.isEmpty() && presented == certificateSha256) {
            socket->ignoreSslErrors();
        }
    });
    const QDeadlineTimer deadline(10000);
    if (security == Security::Tls) {
        socket->connectToHostEncrypted(host, port, QStringLiteral("localhost"));
    } else {
        socket->connectToHost(host, port);
    }
    const auto ready = [&] {
        return security == Security::Tls ? socket->isEncrypted()
                                         : socket->state() == QAbstractSocket::ConnectedState;
    };
    while (!ready()) {
        if (!waitForSocket(deadline)) {
            *error = QStringLiteral("cannot connect to %1:%2: %3")
                         .arg(host)
                         .arg(port)
                         .arg(socket->errorString());
            return false;
        }
    }
    QByteArray greeting;
    if (!readResponse(&greeting, deadline) || !greeting.startsWith("* OK")) {
        *error = QStringLiteral("no greeting from %1:%2 (%3)")
                     .arg(host)
                     .arg(port)
                     .arg(QString::fromUtf8(greeting));
        return false;
    }
    return security != Security::StartTls || startTls(error);
}

// The certificate is checked by the sslErrors handler set up on connecting.
bool ImapTestClient::startTls(QString* error) {
    const Reply reply = command("STARTTLS");
    if (!reply.ok()) {
        *error = QStringLiteral("STARTTLS refused: %1").arg(QString::fromUtf8(reply.status));
        return false;
    }
    m_socket->setPeerVerifyName(QStringLiteral("localhost"));
    m_socket->startClientEncryption();
    const QDeadlineTimer deadline(10000);
    while (!m_socket->isEncrypted()) {
        if (!waitForSocket(deadline)) {
            *error = QStringLiteral("TLS after STARTTLS failed: %1").arg(m_socket->errorString());
            return false;
        }
    }
    return true;
}

// --- helpers ---

QByteArray toImapUtf7(const QString& name) {
    QByteArray out;
    QByteArray shifted; // UTF-16BE of the characters waiting to be encoded
    const auto flush = [&] {
        if (shifted.isEmpty()) {
            return;
        }
        QByteArray encoded = shifted.toBase64(QByteArray::OmitTrailingEquals);
        encoded.replace('/', ',');
        out += '&' + encoded + '-';
        shifted.clear();
    };
    for (const QChar c : name) {
        const ushort unit = c.unicode();
        if (unit >= 0x20 && unit <= 0x7e) {
            flush();
            out += unit == '&' ? QByteArray("&-") : QByteArray(1, static_cast<char>(unit));
        } else {
            shifted += static_cast<char>(unit >> 8);
            shifted += static_cast<char>(unit & 0xff);
        }
    }
    flush();
    return out;
}

QString fromImapUtf7(const QByteArray& name) {
    QString out;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i] != '&') {
            out += QLatin1Char(name[i]);
            continue;
        }
        const qsizetype end = name.indexOf('-', i + 1);
        if (end < 0) {
            out += QString::fromLatin1(name.mid(i));
            break;
        }
        if (end == i + 1) {
            out += u'&';
        } else {
            QByteArray encoded = name.mid(i + 1, end - i - 1);
            encoded.replace(',', '/');
            const QByteArray utf16 = QByteArray::fromBase64(encoded);
            for (qsizetype k = 0; k + 1 < utf16.size(); k += 2) {
                out += QChar(static_cast<ushort>((static_cast<uchar>(utf16[k]) << 8) |
                                                 static_cast<uchar>(utf16[k + 1])));
            }
        }
        i = end;
    }
    return out;
}

QByteArray imapQuoted(const QByteArray& text) {
    QByteArray out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + '"';
}

QList<QByteArray> generatedMessages(int count, const QString& tag) {
    const QDateTime first(QDate(2021, 3, 1), QTime(8, 0), Qt::UTC);
    const QLocale c = QLocale::c();
    QList<QByteArray> messages;
    messages.reserve(count);
    for (int n = 1; n <= count; ++n) {
        const QByteArray number = QByteArray::number(n);
        const QByteArray date =
            c.toString(first.addSecs(60LL * n), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss"))
                .toLatin1();
        messages.append(crlfMessage("From: Sender " + number + " <sender" + number +
                                    "@tessaly.test>\n"
                                    "To: Archive <archive@tessaly.test>\n"
                                    "Subject: " +
                                    tag.toUtf8() + " message " + number +
                                    "\n"
                                    "Date: " +
                                    date +
                                    " +0000\n"
                                    "Message-ID: <" +
                                    tag.toUtf8() + "-" + number +
                                    "@tessaly.test>\n"
                                    "MIME-Version: 1.0\n"
                                    "Content-Type: text/plain; charset=utf-8\n"
                                    "\n"
                                    "Message " +
                                    number + " of " + tag.toUtf8() + ".\n"));
    }
    return messages;
}

QList<QByteArray> corpusMessages(int count, const QString& tag) {
    QStringList files = sharedCorpusFiles();
    files.removeIf([](const QString& path) { return !path.endsWith(QStringLiteral(".eml")); });
    QList<QByteArray> messages;
    if (files.isEmpty()) {
        return messages;
    }
    QList<QByteArray> contents;
    for (const QString& path : std::as_const(files)) {
        contents.append(readFile(path));
    }
    messages.reserve(count);
    for (int n = 1; n <= count; ++n) {
        messages.append(
            withMessageId(contents.at((n - 1) % contents.size()),
                          tag.toUtf8() + '-' + QByteArray::number(n) + "@tessaly.test"));
    }
    return messages;
}

} // namespace tessaly::test
