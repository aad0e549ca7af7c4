#include "platform/mail/imapfetchreader.h"
#include "platform/mail/imapsession.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace tessaly;

namespace {

using End = ImapFetchReader::End;

// Hands `data` out `piece` bytes at a time, as a network splits it, then ends.
ImapFetchReader::Source pieces(const QByteArray& data, qsizetype piece,
                               std::shared_ptr<qsizetype> handedOut) {
    return [data, piece, handedOut](char* into, qsizetype room) -> qsizetype {
        const qsizetype n = std::min({piece, room, data.size() - *handedOut});
        std::memcpy(into, data.constData() + *handedOut, size_t(n));
        *handedOut += n;
        return n;
    };
}

QByteArray literal(const QByteArray& text, const char* plus = "") {
    return '{' + QByteArray::number(text.size()) + plus + "}\r\n" + text;
}

// An IMAP server that answers LOGIN and EXAMINE itself and each FETCH with the next scripted
// answer ("TAG" stands for the command's tag, "<cut>" closes the connection there). It insists
// on tags that count up by one on every connection, as libetpan checks on its side.
class ScriptedServer : public QObject {
public:
    ScriptedServer() {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* client = m_server.nextPendingConnection();
            auto next = std::make_shared<int>(1);
            connect(client, &QIODevice::readyRead, client, [this, client, next] {
                while (client->canReadLine())
                    answer(client, client->readLine().trimmed(), (*next)++);
            });
            client->write("* OK [CAPABILITY IMAP4rev1] ready\r\n");
        });
    }
    quint16 port() const { return m_server.serverPort(); }

    QList<QByteArray> fetchAnswers;
    QList<QByteArray> commands; // without their tags
    bool tagsInOrder = true;

private:
    void answer(QTcpSocket* client, const QByteArray& line, int expected) {
        const QByteArray tag = line.left(line.indexOf(' '));
        const QByteArray command = line.mid(tag.size() + 1);
        commands.append(command);
        tagsInOrder = tagsInOrder && tag == QByteArray::number(expected);
        QByteArray reply = "TAG OK done\r\n";
        if (command.startsWith("EXAMINE"))
            reply = "* 2 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\nTAG OK [READ-ONLY] done\r\n";
        else if (command.startsWith("UID FETCH 7 "))
            reply = "* 1 FETCH (UID 7 BODY[] {5}\r\nHello)\r\nTAG OK done\r\n";
        else if (command.contains("FETCH") && !fetchAnswers.isEmpty())
            reply = fetchAnswers.takeFirst();
        reply.replace("TAG", tag);
        const qsizetype cut = reply.indexOf("<cut>");
        client->write(cut < 0 ? reply : reply.left(cut));
        if (cut >= 0)
            client->disconnectFromHost();
    }

    QTcpServer m_server;
};

} // namespace

// The FETCH reader on its own, fed in pieces of every size, and behind a session, where its
// errors must read as libetpan's did and libetpan must carry on after it on the same connection.
class TestImapFetchReader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyAttributeIsFoundWhereverTheReadsSplit_data();
    void everyAttributeIsFoundWhereverTheReadsSplit();
    void theEndOfTheAnswerDecides_data();
    void theEndOfTheAnswerDecides();
    void theSessionCarriesOnAfterIt();
};

void TestImapFetchReader::everyAttributeIsFoundWhereverTheReadsSplit_data() {
    QTest::addColumn<int>("piece");
    for (const int piece : {1, 2, 5, 13, 64, 100000})
        QTest::addRow("%d bytes a read", piece) << piece;
}

void TestImapFetchReader::everyAttributeIsFoundWhereverTheReadsSplit() {
    QFETCH(int, piece);
    // Headers that look like protocol: a tagged line, a literal, a closing parenthesis.
    const QByteArray first = "Subject: A7 OK not yet\r\nX-Odd: {5}\r\n)\r\n\r\n";
    const QByteArray second = "From: b@tessaly.test\r\n\r\n";
    const QByteArray trailing = "* 99 EXISTS\r\n";
    const QByteArray answer =
        "* 12 EXISTS\r\n* OK [HIGHESTMODSEQ 9] still here\r\n"
        "* 1 FETCH (UID 101 RFC822.SIZE 2000 BODY[HEADER] " +
        literal(first) +
        ")\r\n"
        "* 2 FETCH (BODY[HEADER] " +
        literal(second, "+") +
        " FLAGS (\\Seen $Label) INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" "
        "RFC822.SIZE 3000 MODSEQ (77) UID 102)\r\n"
        "* 3 FETCH (uid 103 body[header] \"Subject: \\\"quoted\\\" \\\\ (x)\")\r\n"
        "* 4 FETCH (UID 104 BODY[HEADER] NIL RFC822.SIZE 10 X-THING (a (b \"c)\" {2}\r\n)) d)))\r\n"
        "* 2 FETCH (FLAGS (\\Seen) BODY[HEADER.FIELDS (FROM)] {6}\r\nFrom\r\n)\r\n"
        "* 3 EXPUNGE\r\n* LIST (\\HasNoChildren) \"/\" {5}\r\nA)B C\r\n"
        "A7 OK [CLIENTBUG] Fetch done\r\n" +
        trailing;

    auto handedOut = std::make_shared<qsizetype>(0);
    ImapFetchReader reader("A7", pieces(answer, piece, handedOut), 4096);
    QList<ImapMessage> messages;
    const ImapFetchReader::Result result = reader.read(&messages);
    QCOMPARE(result.end, End::Ok);
    QCOMPARE(result.text, QByteArray("Fetch done"));
    QCOMPARE(messages.size(), 4);
    const QList<quint32> uids = {101, 102, 103, 104};
    const QList<qint64> sizes = {2000, 3000, 0, 10};
    const QList<QByteArray> headers = {first, second, "Subject: \"quoted\" \\ (x)", {}};
    for (qsizetype i = 0; i < messages.size(); ++i) {
        QCOMPARE(messages[i].sequence, quint32(i + 1));
        QCOMPARE(messages[i].uid, uids[i]);
        QCOMPARE(messages[i].size, sizes[i]);
        QCOMPARE(messages[i].header, headers[i]);
    }
    QCOMPARE(reader.exists(), std::optional<quint32>(12));
    QCOMPARE(reader.expunged(), 1);
    // Nothing after the tagged line is lost: what was read of it is handed back.
    QCOMPARE(*handedOut - reader.leftover().size(), answer.size() - trailing.size());
}

void TestImapFetchReader::theEndOfTheAnswerDecides_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<End>("end");
    QTest::addColumn<QByteArray>("text");
    QTest::addRow("NO") << QByteArray("* 1 FETCH (UID 5)\r\nA7 NO [SERVERBUG] Some vanished\r\n")
                        << End::No << QByteArray("Some vanished");
    QTest::addRow("BAD") << QByteArray("A7 BAD Invalid messageset\r\n") << End::Bad
                         << QByteArray("Invalid messageset");
    QTest::addRow("BYE, then closed") << QByteArray("* 1 FETCH (UID 5)\r\n* BYE Shutting down\r\n")
                                      << End::Bye << QByteArray("Shutting down");
    QTest::addRow("cut in a literal")
        << QByteArray("* 1 FETCH (UID 5 BODY[HEADER] {100}\r\nFrom: a") << End::Dropped
        << QByteArray();
    QTest::addRow("cut in a line")
        << QByteArray("* 1 FETCH (UID 5") << End::Dropped << QByteArray();
    QTest::addRow("another tag") << QByteArray("A6 OK done\r\n") << End::Unreadable << QByteArray();
    QTest::addRow("continuation") << QByteArray("+ go on\r\n") << End::Unreadable << QByteArray();
    QTest::addRow("broken literal")
        << QByteArray("* 1 FETCH (BODY[HEADER] {1x}\r\nab)\r\n") << End::Unreadable << QByteArray();
    QTest::addRow("UID too large")
        << QByteArray("* 1 FETCH (UID 4294967296)\r\nA7 OK\r\n") << End::Unreadable << QByteArray();
    QTest::addRow("message 0") << QByteArray("* 0 FETCH (UID 5)\r\nA7 OK\r\n") << End::Unreadable
                               << QByteArray();
    QTest::addRow("nesting without end")
        << QByteArray("* 1 FETCH (X " + QByteArray(100000, '(')) << End::Unreadable << QByteArray();
}

void TestImapFetchReader::theEndOfTheAnswerDecides() {
    QFETCH(QByteArray, answer);
    QFETCH(End, end);
    QFETCH(QByteArray, text);
    ImapFetchReader reader("A7", pieces(answer, 3, std::make_shared<qsizetype>(0)));
    QList<ImapMessage> messages;
    const ImapFetchReader::Result result = reader.read(&messages);
    QCOMPARE(result.end, end);
    QCOMPARE(result.text, text);
}

void TestImapFetchReader::theSessionCarriesOnAfterIt() {
    ScriptedServer server;
    QVERIFY(server.port() != 0);
    ImapSessionSettings settings;
    settings.hostname = QStringLiteral("127.0.0.1");
    settings.port = server.port();
    settings.username = QStringLiteral("alice");
    settings.password = QStringLiteral("secret");
    settings.connectionType = ImapConnectionType::Clear;
    settings.timeoutSeconds = 10;
    ImapSession session(settings);

    struct Got {
        int calls = 0;
        ImapError error;
        QList<ImapMessage> messages;
    };
    const auto headers = [&](const QByteArray& answer) {
        server.fetchAnswers.append(answer);
        auto got = std::make_shared<Got>();
        session.fetchMessagesByNumber(QStringLiteral("INBOX"), 1, 1, ImapRequestKind::Headers,
                                      [got](const ImapError& error, QList<ImapMessage> list) {
                                          ++got->calls;
                                          got->error = error;
                                          got->messages = std::move(list);
                                      });
        [[maybe_unused]] const bool done = QTest::qWaitFor([&] { return got->calls > 0; }, 20000);
        return got;
    };

    const auto ok = headers("* 2 FETCH (UID 9 RFC822.SIZE 40 BODY[HEADER] {4}\r\nB: 2)\r\n"
                            "* 1 FETCH (UID 8 RFC822.SIZE 30 BODY[HEADER] {4}\r\nA: 1)\r\n"
                            "TAG OK done\r\n");
    QVERIFY2(!ok->error.isError(), qPrintable(ok->error.description));
    QCOMPARE(ok->messages.size(), 2);
    QCOMPARE(ok->messages[0].uid, 8u);
    QCOMPARE(ok->messages[1].header, QByteArray("B: 2"));

    const auto no = headers("TAG NO [SERVERBUG] Some vanished\r\n");
    QCOMPARE(no->error.kind, ImapError::Kind::Protocol);
    QVERIFY2(no->error.description.contains(QStringLiteral("Some vanished")),
             qPrintable(no->error.description));
    const auto bad = headers("TAG BAD Invalid messageset\r\n");
    QCOMPARE(bad->error.kind, ImapError::Kind::Protocol);
    QVERIFY2(bad->error.description.contains(QStringLiteral("Invalid messageset")),
             qPrintable(bad->error.description));

    // libetpan takes over the same connection with the next tag.
    auto body = std::make_shared<QByteArray>();
    session.fetchMessage(QStringLiteral("INBOX"), 7,
                         [body](const ImapError& error, QByteArray data) {
                             *body = error.isError() ? error.description.toUtf8() : data;
                         });
    QVERIFY(QTest::qWaitFor([&] { return !body->isEmpty(); }, 20000));
    QCOMPARE(*body, QByteArray("Hello"));

    const auto cut = headers("* 1 FETCH (UID 8 BODY[HEADER] {400}\r\nFrom: a<cut>");
    QCOMPARE(cut->error.kind, ImapError::Kind::Connection);
    QVERIFY(cut->messages.isEmpty());

    // A new connection, logged in and the folder opened again.
    const auto again = headers("* 1 FETCH (UID 8)\r\nTAG OK done\r\n");
    QVERIFY2(!again->error.isError(), qPrintable(again->error.description));
    QVERIFY(server.tagsInOrder);
    const QByteArray fetch = "FETCH 1:2 (UID RFC822.SIZE BODY.PEEK[HEADER])";
    QList<QByteArray> verbs;
    for (const QByteArray& command : std::as_const(server.commands))
        verbs.append(command.startsWith("FETCH") ? command : command.left(command.indexOf(' ')));
    QCOMPARE(verbs, QList<QByteArray>({"LOGIN", "EXAMINE", fetch, fetch, fetch, "UID", fetch,
                                       "LOGIN", "EXAMINE", fetch}));
}

QTEST_GUILESS_MAIN(TestImapFetchReader)
#include "tst_imapfetchreader.moc"
