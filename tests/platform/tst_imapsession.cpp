#include "cuttingproxy.h"
#include "dovecotserver.h"
#include "platform/mail/imapsession.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace tessaly;
using namespace tessaly::test;

namespace {

const QString kUser = QStringLiteral("alice");
const QString kHostile = QStringLiteral("Reports/../x\tÜber");
const QString kOdd = QStringLiteral("~home & a\\b");
const QString kBig = QStringLiteral("Big");
constexpr int kBigCount = 12000;

// What a completion got; shared, so a completion that comes after the test gave up waiting
// has somewhere to write.
template <typename T> struct Outcome {
    int calls = 0;
    ImapError error;
    T value{};
};

template <typename T> using OutcomePtr = std::shared_ptr<Outcome<T>>;

template <typename T> ImapSession::Completion<T> recordInto(const OutcomePtr<T>& outcome) {
    return [outcome](const ImapError& error, T value) {
        ++outcome->calls;
        outcome->error = error;
        outcome->value = std::move(value);
    };
}

template <typename T> bool waitFor(const OutcomePtr<T>& outcome, int timeoutMs = 20000) {
    return QTest::qWaitFor([&] { return outcome->calls > 0; }, timeoutMs);
}

} // namespace

// A real Dovecot behind the session: TLS and certificates, hostile folder names, header chunks
// of thousands of messages, exact message bytes, connections dropped mid-response, and
// cancellation that does not wait on the network.
class TestImapSession : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void certificatesAreCheckedBeforeLoggingIn();
    void credentialsAreRefused();
    void foldersKeepTheirExactNames();
    void headerChunksCoverEveryMessageOnce();
    void messagesComeBackByteForByte();
    void aDroppedConnectionIsReportedAndReplaced();
    void cancelledWorkIsNeverReported();
    void destroyingDoesNotWaitOnTheNetwork();

private:
    ImapSessionSettings settings(ImapConnectionType type = ImapConnectionType::Clear) const {
        ImapSessionSettings s;
        s.hostname = m_server->host();
        s.port = type == ImapConnectionType::Tls ? m_server->imapsPort() : m_server->imapPort();
        s.username = kUser;
        s.password = m_server->password();
        s.connectionType = type;
        s.timeoutSeconds = 10;
        return s;
    }
    template <typename T, typename Call> OutcomePtr<T> run(ImapSession& session, Call call) {
        auto outcome = std::make_shared<Outcome<T>>();
        call(session, recordInto(outcome));
        if (!waitFor(outcome))
            qWarning("no completion within 20 s");
        return outcome;
    }
    OutcomePtr<QList<ImapFolder>> listFolders(ImapSession& session) {
        return run<QList<ImapFolder>>(
            session, [](ImapSession& on, auto done) { on.fetchAllFolders(std::move(done)); });
    }

    std::unique_ptr<DovecotServer> m_server;
    QList<QByteArray> m_stored;
};

void TestImapSession::initTestCase() {
    QString error;
    m_server = DovecotServer::start({}, &error);
    QVERIFY2(m_server, qPrintable(error));
    for (const QString& folder : {QStringLiteral("Reports"), kHostile, kOdd, kBig}) {
        QVERIFY2(m_server->createFolder(kUser, folder, &error), qPrintable(error));
    }
    QVERIFY2(m_server->addMessages(kUser, kHostile, generatedMessages(3, QStringLiteral("hostile")),
                                   &error),
             qPrintable(error));
    QVERIFY2(m_server->addMessages(kUser, kBig, generatedMessages(kBigCount, QStringLiteral("big")),
                                   &error),
             qPrintable(error));

    // Bytes a careless client would change: 8-bit text, a long line, trailing blanks, an empty
    // body, a lone "." line and a literal-looking "{5}".
    m_stored = {
        crlfMessage("From: a@tessaly.test\nSubject: =?utf-8?q?=C3=BCber?=\nMessage-ID: "
                    "<exact-1@tessaly.test>\n\nGr\xc3\xbc\xc3\x9f"
                    "e \t \n.\n{5}\n" +
                    QByteArray(5000, 'x') + "\n"),
        crlfMessage("From: b@tessaly.test\nMessage-ID: <exact-2@tessaly.test>\n\n"),
        generatedMessages(1, QStringLiteral("exact")).first(),
    };
    QVERIFY2(m_server->addMessages(kUser, kOdd, m_stored, &error), qPrintable(error));
}

void TestImapSession::certificatesAreCheckedBeforeLoggingIn() {
    QVERIFY(m_server->waitForSessionsEnded());
    const qint64 sessionsBefore = m_server->fetchCounters().sessions;
    const QString fingerprint = m_server->certificateSha256();

    // Self-signed and not trusted: refused with the fingerprint to show, for TLS and STARTTLS
    // alike, and a fingerprint that is not this certificate's changes nothing.
    for (const ImapConnectionType type : {ImapConnectionType::Tls, ImapConnectionType::StartTls}) {
        for (const QString& trusted : {QString(), QString(64, u'0')}) {
            ImapSessionSettings s = settings(type);
            s.trustedCertificateSha256 = trusted;
            ImapSession session(s);
            const auto refused = listFolders(session);
            QCOMPARE(refused->calls, 1);
            QCOMPARE(refused->error.kind, ImapError::Kind::Certificate);
            QCOMPARE(refused->error.certificateSha256, fingerprint);
            const QString readable =
                QStringLiteral("%1:%2:%3")
                    .arg(fingerprint.mid(0, 2), fingerprint.mid(2, 2), fingerprint.mid(4, 2));
            QVERIFY2(refused->error.description.contains(readable),
                     qPrintable(refused->error.description));
            QVERIFY(refused->error.description.contains(m_server->host()));
            QVERIFY(refused->value.isEmpty());
        }
    }
    // No password went out for any of them.
    QVERIFY(m_server->waitForSessionsEnded());
    QCOMPARE(m_server->fetchCounters().sessions, sessionsBefore);

    // The certificate the user chose to trust, in either spelling; and clear text.
    for (const ImapConnectionType type :
         {ImapConnectionType::Tls, ImapConnectionType::StartTls, ImapConnectionType::Clear}) {
        ImapSessionSettings s = settings(type);
        s.trustedCertificateSha256 =
            type == ImapConnectionType::StartTls ? fingerprint.toUpper() : fingerprint;
        ImapSession session(s);
        const auto listed = listFolders(session);
        QVERIFY2(!listed->error.isError(), qPrintable(listed->error.description));
        QVERIFY(!listed->value.isEmpty());
    }
}

void TestImapSession::credentialsAreRefused() {
    ImapSessionSettings s = settings(ImapConnectionType::Clear);
    s.password = QStringLiteral("not-the-pw-4711");
    ImapSession session(s);
    const auto refused = listFolders(session);
    QCOMPARE(refused->error.kind, ImapError::Kind::Authentication);
    QVERIFY2(refused->error.description.contains(QStringLiteral("credentials")),
             qPrintable(refused->error.description));
    QVERIFY(refused->error.description.contains(kUser));
    QVERIFY(!refused->error.description.contains(s.password));

    // A password that would end the command early never reaches the server.
    s.password = QStringLiteral("pw\r\na2 LIST \"\" *");
    ImapSession injected(s);
    const auto stopped = listFolders(injected);
    QCOMPARE(stopped->error.kind, ImapError::Kind::Authentication);
    QVERIFY(!stopped->error.description.contains(QStringLiteral("LIST")));

    // XOAUTH2: an expired token is refused; the refreshed one serves the next connection.
    ImapSessionSettings oauth = settings(ImapConnectionType::Clear);
    oauth.password.clear();
    oauth.xoauth2 = true;
    oauth.oauth2Token = m_server->oauth2Token(kUser, -120);
    ImapSession tokens(oauth);
    const auto expired = listFolders(tokens);
    QCOMPARE(expired->error.kind, ImapError::Kind::Authentication);
    QVERIFY(!expired->error.description.contains(oauth.oauth2Token));
    const QString fresh = m_server->oauth2Token(kUser);
    tokens.setOAuth2Token(fresh);
    QCOMPARE(tokens.settings().oauth2Token, fresh);
    const auto refreshed = listFolders(tokens);
    QVERIFY2(!refreshed->error.isError(), qPrintable(refreshed->error.description));
}

void TestImapSession::foldersKeepTheirExactNames() {
    QVERIFY(m_server->waitForSessionsEnded());
    const qint64 sessionsBefore = m_server->fetchCounters().sessions;
    auto session = std::make_unique<ImapSession>(settings());
    const auto listed = listFolders(*session);
    QVERIFY2(!listed->error.isError(), qPrintable(listed->error.description));
    QStringList selectable;
    for (const ImapFolder& folder : listed->value) {
        QCOMPARE(folder.delimiter, QChar(u'/'));
        if (folder.selectable())
            selectable.append(folder.path);
    }
    selectable.sort();
    QStringList expected = {QStringLiteral("INBOX"), QStringLiteral("Reports"), kHostile, kOdd,
                            kBig};
    expected.sort();
    QCOMPARE(selectable, expected);

    // The names work as they came, and EXAMINE gives the counts.
    const auto hostile = run<ImapFolderInfo>(
        *session, [](ImapSession& on, auto done) { on.folderInfo(kHostile, std::move(done)); });
    QVERIFY2(!hostile->error.isError(), qPrintable(hostile->error.description));
    QCOMPARE(hostile->value.messageCount, 3);
    QCOMPARE(hostile->value.uidNext, 4u);
    QVERIFY(hostile->value.uidValidity != 0);

    const auto odd = run<ImapFolderInfo>(
        *session, [](ImapSession& on, auto done) { on.folderInfo(kOdd, std::move(done)); });
    QVERIFY2(!odd->error.isError(), qPrintable(odd->error.description));
    QCOMPARE(odd->value.messageCount, int(m_stored.size()));

    const auto missing = run<ImapFolderInfo>(*session, [](ImapSession& on, auto done) {
        on.folderInfo(QStringLiteral("Reports/Missing"), std::move(done));
    });
    QCOMPARE(missing->error.kind, ImapError::Kind::NonExistent);
    QCOMPARE(missing->value.messageCount, 0);
    const auto after = run<ImapFolderInfo>(
        *session, [](ImapSession& on, auto done) { on.folderInfo(kHostile, std::move(done)); });
    QVERIFY(!after->error.isError());

    // All of it on one connection: a missing folder is no reason to drop it.
    session.reset();
    QVERIFY(m_server->waitForSessionsEnded());
    QCOMPARE(m_server->fetchCounters().sessions, sessionsBefore + 1);
}

void TestImapSession::headerChunksCoverEveryMessageOnce() {
    ImapSession session(settings());
    const auto info = run<ImapFolderInfo>(
        session, [](ImapSession& on, auto done) { on.folderInfo(kBig, std::move(done)); });
    QVERIFY2(!info->error.isError(), qPrintable(info->error.description));
    QCOMPARE(info->value.messageCount, kBigCount);

    // Three chunks queued at once complete in order; they are timed as the header phase is.
    QElapsedTimer clock;
    clock.start();
    QList<OutcomePtr<QList<ImapMessage>>> chunks;
    QList<int> order;
    for (const quint32 start : {1u, 5001u, 10001u}) {
        auto outcome = std::make_shared<Outcome<QList<ImapMessage>>>();
        const quint32 length = std::min<quint32>(4999, kBigCount - start);
        session.fetchMessagesByNumber(
            kBig, start, length, ImapRequestKind::Headers,
            [outcome, &order, start](const ImapError& error, QList<ImapMessage> messages) {
                order.append(int(start));
                recordInto(outcome)(error, std::move(messages));
            });
        chunks.append(outcome);
    }
    QVERIFY(waitFor(chunks.last(), 60000));
    const qint64 elapsed = std::max<qint64>(1, clock.elapsed());
    QCOMPARE(order, QList<int>({1, 5001, 10001}));

    QSet<quint32> uids;
    int n = 0;
    for (const auto& chunk : chunks) {
        QVERIFY2(!chunk->error.isError(), qPrintable(chunk->error.description));
        for (const ImapMessage& message : chunk->value) {
            ++n;
            QCOMPARE(message.sequence, quint32(n));
            QVERIFY(!uids.contains(message.uid));
            uids.insert(message.uid);
            const QByteArray id = "Message-ID: <big-" + QByteArray::number(n) + "@tessaly.test>";
            QVERIFY2(message.header.contains(id), message.header.constData());
            QVERIFY(message.header.endsWith("\r\n\r\n"));
            QVERIFY(!message.header.contains("Message " + QByteArray::number(n) + " of big."));
            QVERIFY(message.size > message.header.size());
        }
    }
    QCOMPARE(n, kBigCount);
    QCOMPARE(uids.size(), kBigCount);
    qInfo("header phase: %d headers in 3 chunks in %lld ms = %.0f headers/s", n, elapsed,
          n * 1000.0 / double(elapsed));

    // By UID: exactly the ones asked for (in ranges and alone, with repeats and a UID that is
    // not there), UIDs only.
    QList<quint32> wanted;
    for (quint32 uid = 100; uid <= 3000; uid += (uid % 7 == 0 ? 3 : 1))
        wanted.append(uid);
    wanted << 11999 << 42 << 42 << 999999;
    const auto byUid = run<QList<ImapMessage>>(session, [&](ImapSession& on, auto done) {
        on.fetchMessagesByUid(kBig, wanted, ImapRequestKind::Uids, std::move(done));
    });
    QVERIFY2(!byUid->error.isError(), qPrintable(byUid->error.description));
    QSet<quint32> expected(wanted.cbegin(), wanted.cend());
    expected.remove(999999);
    QSet<quint32> got;
    for (const ImapMessage& message : byUid->value) {
        QVERIFY(message.header.isEmpty());
        QVERIFY(!got.contains(message.uid));
        got.insert(message.uid);
    }
    QCOMPARE(got, expected);

    // Numbers past the end are the server's to refuse, not an empty success.
    const auto past = run<QList<ImapMessage>>(session, [](ImapSession& on, auto done) {
        on.fetchMessagesByNumber(kBig, kBigCount + 10, 5, ImapRequestKind::Uids, std::move(done));
    });
    QCOMPARE(past->error.kind, ImapError::Kind::Protocol);
}

void TestImapSession::messagesComeBackByteForByte() {
    ImapSession session(settings());
    const auto listed = run<QList<ImapMessage>>(session, [](ImapSession& on, auto done) {
        on.fetchMessagesByNumber(kOdd, 1, 2, ImapRequestKind::Uids, std::move(done));
    });
    QVERIFY2(!listed->error.isError(), qPrintable(listed->error.description));
    QCOMPARE(listed->value.size(), m_stored.size());
    for (qsizetype i = 0; i < m_stored.size(); ++i) {
        const quint32 uid = listed->value[i].uid;
        const auto message = run<QByteArray>(session, [uid](ImapSession& on, auto done) {
            on.fetchMessage(kOdd, uid, std::move(done));
        });
        QVERIFY2(!message->error.isError(), qPrintable(message->error.description));
        QCOMPARE(message->value, m_stored[i]);
    }

    // Fetched without marking anything read.
    ImapTestClient client;
    QString error;
    QVERIFY2(client.connectTo(m_server->host(), m_server->imapPort(),
                              ImapTestClient::Security::Clear, {}, &error),
             qPrintable(error));
    QVERIFY(client.command("LOGIN alice " + imapQuoted(m_server->password().toUtf8())).ok());
    QVERIFY(client.command("EXAMINE " + imapQuoted(toImapUtf7(kOdd))).ok());
    const ImapTestClient::Reply flags = client.command("FETCH 1:* (FLAGS)");
    QVERIFY(flags.ok());
    QCOMPARE(flags.untagged.size(), m_stored.size());
    for (const QByteArray& line : flags.untagged)
        QVERIFY2(!line.contains("\\Seen"), line.constData());

    const auto gone = run<QByteArray>(
        session, [](ImapSession& on, auto done) { on.fetchMessage(kOdd, 4711, std::move(done)); });
    QCOMPARE(gone->error.kind, ImapError::Kind::NonExistent);
    QVERIFY(gone->value.isEmpty());
}

void TestImapSession::aDroppedConnectionIsReportedAndReplaced() {
    // Nobody listening: the address and the reason.
    quint16 closedPort = 0;
    {
        QTcpServer gone;
        QVERIFY(gone.listen(QHostAddress::LocalHost));
        closedPort = gone.serverPort();
    }
    ImapSessionSettings nowhere = settings();
    nowhere.port = closedPort;
    ImapSession unreachable(nowhere);
    const auto refused = listFolders(unreachable);
    QCOMPARE(refused->error.kind, ImapError::Kind::Connection);
    QVERIFY2(refused->error.description.contains(QStringLiteral("127.0.0.1:%1").arg(closedPort)) &&
                 refused->error.description.contains(QStringLiteral("refused")),
             qPrintable(refused->error.description));

    CuttingProxy proxy(m_server->imapPort());
    QVERIFY(proxy.port() != 0);
    ImapSessionSettings s = settings();
    s.port = proxy.port();
    ImapSession session(s);
    const auto opened = run<ImapFolderInfo>(
        session, [](ImapSession& on, auto done) { on.folderInfo(kBig, std::move(done)); });
    QVERIFY2(!opened->error.isError(), qPrintable(opened->error.description));

    // The connection that is in use drops in the middle of a chunk.
    proxy.cutAfterCommand(QRegularExpression(QStringLiteral("FETCH")), 100000);
    const auto cut = run<QList<ImapMessage>>(session, [](ImapSession& on, auto done) {
        on.fetchMessagesByNumber(kBig, 1, 4999, ImapRequestKind::Headers, std::move(done));
    });
    QCOMPARE(cut->error.kind, ImapError::Kind::Connection);
    QVERIFY2(cut->error.description.contains(QStringLiteral("127.0.0.1:%1").arg(proxy.port())),
             qPrintable(cut->error.description));
    QVERIFY(cut->value.isEmpty());
    QCOMPARE(proxy.connectionsCut(), 1);

    // The same session carries on over a new connection.
    const auto again = run<QList<ImapMessage>>(session, [](ImapSession& on, auto done) {
        on.fetchMessagesByNumber(kBig, 1, 4999, ImapRequestKind::Headers, std::move(done));
    });
    QVERIFY2(!again->error.isError(), qPrintable(again->error.description));
    QCOMPARE(again->value.size(), 5000);
    QCOMPARE(proxy.connectionsSeen(), 2);
}

void TestImapSession::cancelledWorkIsNeverReported() {
    ImapSession session(settings());
    QList<int> order;
    const auto note = [&order](int n) {
        return [&order, n](const ImapError&, auto) {
            order.append(n);
        };
    };
    session.fetchMessagesByNumber(kBig, 1, 4999, ImapRequestKind::Headers, note(1));
    const auto queued = session.folderInfo(kHostile, note(2));
    session.folderInfo(kHostile, note(3));
    queued->cancel();
    QVERIFY(QTest::qWaitFor([&] { return order.contains(3); }, 20000));
    QCOMPARE(order, QList<int>({1, 3}));

    // Everything at once, the running operation too; the session still works afterwards.
    order.clear();
    session.fetchMessagesByNumber(kBig, 1, 4999, ImapRequestKind::Headers, note(4));
    session.fetchMessagesByNumber(kBig, 5001, 4999, ImapRequestKind::Headers, note(5));
    QTest::qWait(20);
    session.cancelAll();
    const auto after = run<ImapFolderInfo>(
        session, [](ImapSession& on, auto done) { on.folderInfo(kBig, std::move(done)); });
    QVERIFY2(!after->error.isError(), qPrintable(after->error.description));
    QTest::qWait(50);
    QVERIFY(order.isEmpty());
}

void TestImapSession::destroyingDoesNotWaitOnTheNetwork() {
    // A server that accepts and then says nothing: every read would wait out the timeout.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QList<QTcpSocket*> accepted;
    connect(&silent, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection())
            accepted.append(socket);
    });
    ImapSessionSettings s = settings();
    s.port = silent.serverPort();
    s.timeoutSeconds = 120;
    auto session = std::make_unique<ImapSession>(s);

    // Cancelling the operation that hangs frees the session for the next one.
    auto hung = std::make_shared<Outcome<QList<ImapFolder>>>();
    const auto operation = session->fetchAllFolders(recordInto(hung));
    QVERIFY(QTest::qWaitFor([&] { return accepted.size() == 1; }, 5000));
    QTest::qWait(100);
    operation->cancel();
    auto next = std::make_shared<Outcome<QList<ImapFolder>>>();
    session->fetchAllFolders(recordInto(next));
    QVERIFY(QTest::qWaitFor([&] { return accepted.size() == 2; }, 5000));

    // A server that stays silent past the timeout has dropped the connection.
    ImapSessionSettings impatient = s;
    impatient.timeoutSeconds = 1;
    ImapSession quick(impatient);
    const auto timedOut = listFolders(quick);
    QCOMPARE(timedOut->error.kind, ImapError::Kind::Connection);
    QVERIFY2(timedOut->error.description.contains(QStringLiteral("within 1 s")),
             qPrintable(timedOut->error.description));

    // Destroyed with one operation hanging and more queued: gone at once, nothing reported.
    auto queued = std::make_shared<Outcome<ImapFolderInfo>>();
    session->folderInfo(kBig, recordInto(queued));
    QTest::qWait(100);
    QElapsedTimer clock;
    clock.start();
    session.reset();
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QTest::qWait(100);
    QCOMPARE(hung->calls, 0);
    QCOMPARE(next->calls, 0);
    QCOMPARE(queued->calls, 0);
    qDeleteAll(accepted);
}

QTEST_GUILESS_MAIN(TestImapSession)
#include "tst_imapsession.moc"
