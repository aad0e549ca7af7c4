#include "cuttingproxy.h"
#include "dovecotserver.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

using namespace tessaly::test;

namespace {

const QString kHostile = QStringLiteral("Reports/../x\tÜber");

QStringList selectableFolders(ImapTestClient& client) {
    const ImapTestClient::Reply reply = client.command("LIST \"\" \"*\"");
    QStringList names;
    static const QRegularExpression line(QStringLiteral("^\\* LIST \\(([^)]*)\\) \"/\" (.*)$"));
    for (const QByteArray& response : reply.untagged) {
        const QRegularExpressionMatch match = line.match(QString::fromLatin1(response));
        if (!match.hasMatch() || match.captured(1).contains(QStringLiteral("\\Noselect"))) {
            continue;
        }
        QByteArray name = match.captured(2).toLatin1();
        if (name.startsWith('"')) {
            name = name.mid(1, name.size() - 2).replace("\\\\", "\\").replace("\\\"", "\"");
        }
        names.append(fromImapUtf7(name));
    }
    names.sort();
    return names;
}

int messageCount(ImapTestClient& client, const QString& folder) {
    const ImapTestClient::Reply reply = client.command("EXAMINE " + imapQuoted(toImapUtf7(folder)));
    for (const QByteArray& response : reply.untagged) {
        if (response.endsWith(" EXISTS")) {
            return response.mid(2, response.size() - 9).toInt();
        }
    }
    return -1;
}

bool login(ImapTestClient& client, const DovecotServer& server, quint16 port,
           ImapTestClient::Security security) {
    QString error;
    if (!client.connectTo(server.host(), port, security, server.certificateSha256(), &error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    return client.command("LOGIN alice " + imapQuoted(server.password().toUtf8())).ok();
}

} // namespace

// The fixture other IMAP tests stand on: a real Dovecot, filled from disk, and the proxy that
// drops connections.
class TestDovecotServer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void foldersListWithTheirExactNames();
    void messagesAddedRemovedAndAppended();
    void securedConnectionsShowTheCertificate();
    void credentialsAreChecked();
    void proxyCutsTheChosenConnectionAtTheByte();
    void countersTellHeadersFromBodies();

private:
    std::unique_ptr<DovecotServer> m_server;
};

void TestDovecotServer::initTestCase() {
    QString error;
    m_server = DovecotServer::start({}, &error);
    QVERIFY2(m_server, qPrintable(error));
    QVERIFY2(m_server->createFolder(QStringLiteral("alice"), QStringLiteral("Reports"), &error),
             qPrintable(error));
    QVERIFY2(m_server->createFolder(QStringLiteral("alice"), kHostile, &error), qPrintable(error));
    QVERIFY2(
        m_server->createFolder(QStringLiteral("alice"), QStringLiteral("~home & a\\b"), &error),
        qPrintable(error));
    QVERIFY2(m_server->addMessages(QStringLiteral("alice"), kHostile,
                                   generatedMessages(3, QStringLiteral("hostile")), &error),
             qPrintable(error));
    QVERIFY(!m_server->createFolder(QStringLiteral("alice"), QStringLiteral("a//b"), &error));
    QVERIFY(!m_server->addMessages(QStringLiteral("alice"), QStringLiteral("Missing"),
                                   generatedMessages(1, QStringLiteral("lost")), &error));
}

void TestDovecotServer::foldersListWithTheirExactNames() {
    ImapTestClient client;
    QVERIFY(login(client, *m_server, m_server->imapPort(), ImapTestClient::Security::Clear));
    QVERIFY(!client.isEncrypted());
    const QStringList expected = {QStringLiteral("INBOX"), QStringLiteral("Reports"), kHostile,
                                  QStringLiteral("~home & a\\b")};
    QStringList sorted = expected;
    sorted.sort();
    QCOMPARE(selectableFolders(client), sorted);
    QCOMPARE(messageCount(client, kHostile), 3);

    // Dovecot numbers the files in the order they were given.
    const ImapTestClient::Reply subjects =
        client.command("FETCH 1:3 (BODY.PEEK[HEADER.FIELDS (SUBJECT)])");
    QVERIFY(subjects.ok());
    QCOMPARE(subjects.untagged.size(), 3);
    for (int n = 0; n < 3; ++n) {
        QVERIFY2(subjects.untagged[n].contains("hostile message " + QByteArray::number(n + 1)),
                 subjects.untagged[n].constData());
    }
}

void TestDovecotServer::messagesAddedRemovedAndAppended() {
    QString error;
    const QString user = QStringLiteral("alice");
    QVERIFY2(m_server->addMessages(user, QStringLiteral("INBOX"),
                                   generatedMessages(300, QStringLiteral("bulk")), &error),
             qPrintable(error));
    ImapTestClient watcher;
    QVERIFY(login(watcher, *m_server, m_server->imapPort(), ImapTestClient::Security::Clear));
    QCOMPARE(messageCount(watcher, QStringLiteral("INBOX")), 300);

    QVERIFY2(
        m_server->removeMessage(user, QStringLiteral("INBOX"), "<bulk-17@tessaly.test>", &error),
        qPrintable(error));
    QVERIFY(
        !m_server->removeMessage(user, QStringLiteral("INBOX"), "bulk-17@tessaly.test", &error));
    QVERIFY2(m_server->append(user, QStringLiteral("INBOX"),
                              generatedMessages(1, QStringLiteral("appended")).first(), &error),
             qPrintable(error));
    // A client that was looking sees both changes.
    const ImapTestClient::Reply noop = watcher.command("NOOP");
    QVERIFY(noop.ok());
    QVERIFY(noop.untagged.contains("* 17 EXPUNGE"));
    QVERIFY(noop.untagged.contains("* 300 EXISTS"));
    const ImapTestClient::Reply last = watcher.command("FETCH 300 (BODY.PEEK[HEADER])");
    QVERIFY(last.ok());
    QVERIFY(last.untagged.value(0).contains("Message-ID: <appended-1@tessaly.test>"));
}

void TestDovecotServer::securedConnectionsShowTheCertificate() {
    ImapTestClient startTls;
    QVERIFY(login(startTls, *m_server, m_server->imapPort(), ImapTestClient::Security::StartTls));
    QVERIFY(startTls.isEncrypted());
    QCOMPARE(startTls.peerCertificateSha256(), m_server->certificateSha256());

    ImapTestClient tls;
    QVERIFY(login(tls, *m_server, m_server->imapsPort(), ImapTestClient::Security::Tls));
    QVERIFY(tls.isEncrypted());
    QCOMPARE(tls.peerCertificateSha256(), m_server->certificateSha256());
    QCOMPARE(m_server->certificateSha256().size(), 64);

    ImapTestClient untrusted;
    QString error;
    QVERIFY(!untrusted.connectTo(m_server->host(), m_server->imapsPort(),
                                 ImapTestClient::Security::Tls, QString(64, u'0'), &error));
    QVERIFY(!untrusted.command("NOOP").ok());
}

void TestDovecotServer::credentialsAreChecked() {
    // The tagged status: "OK ..." or "NO ...", never a timeout.
    const auto xoauth2 = [this](const QString& token) {
        ImapTestClient client;
        QString error;
        if (!client.connectTo(m_server->host(), m_server->imapPort(),
                              ImapTestClient::Security::Clear, {}, &error)) {
            return error.toUtf8();
        }
        const QByteArray sasl = "user=alice\001auth=Bearer " + token.toLatin1() + "\001\001";
        return client.command("AUTHENTICATE XOAUTH2 " + sasl.toBase64()).status.left(2);
    };
    const QString token = m_server->oauth2Token(QStringLiteral("alice"));
    QCOMPARE(xoauth2(token), "OK");
    QCOMPARE(xoauth2(m_server->oauth2Token(QStringLiteral("bob"))), "NO");
    QCOMPARE(xoauth2(m_server->oauth2Token(QStringLiteral("alice"), -120)), "NO");
    QString tampered = token;
    tampered[tampered.size() - 2] = tampered.at(tampered.size() - 2) == u'A' ? u'B' : u'A';
    QCOMPARE(xoauth2(tampered), "NO");

    ImapTestClient wrongPassword;
    QString error;
    QVERIFY(wrongPassword.connectTo(m_server->host(), m_server->imapPort(),
                                    ImapTestClient::Security::Clear, {}, &error));
    QVERIFY(wrongPassword.command("LOGIN alice wrong-pw").status.startsWith("NO"));
}

void TestDovecotServer::proxyCutsTheChosenConnectionAtTheByte() {
    CuttingProxy proxy(m_server->imapPort());
    QVERIFY(proxy.port() != 0);
    QSignalSpy cuts(&proxy, &CuttingProxy::connectionCut);
    proxy.cutAfterCommand(QRegularExpression(QStringLiteral("FETCH .*BODY\\.PEEK\\[\\]")), 300);

    // A raw connection, to count every byte that comes after the command.
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, proxy.port());
    QVERIFY(raw.waitForConnected(5000));
    QByteArray received;
    const auto readUntil = [&](const QByteArray& marker) {
        return QTest::qWaitFor([&] {
            received += raw.readAll();
            return received.contains(marker);
        });
    };
    QVERIFY(readUntil("* OK"));
    raw.write("a LOGIN alice " + imapQuoted(m_server->password().toUtf8()) + "\r\n" + "b EXAMINE " +
              imapQuoted(toImapUtf7(kHostile)) + "\r\n");
    QVERIFY(readUntil("\r\nb OK"));
    QVERIFY(readUntil("\r\n") && received.endsWith("\r\n"));
    received.clear();
    raw.write("c FETCH 1:3 (BODY.PEEK[])\r\n");
    QVERIFY(QTest::qWaitFor([&] {
        received += raw.readAll();
        return raw.state() == QAbstractSocket::UnconnectedState;
    }));
    received += raw.readAll();
    QCOMPARE(received.size(), 300);
    QCOMPARE(cuts.size(), 1);

    // The rule was for one connection: the next one fetches everything.
    ImapTestClient client;
    QVERIFY(login(client, *m_server, proxy.port(), ImapTestClient::Security::Clear));
    QCOMPARE(messageCount(client, kHostile), 3);
    const ImapTestClient::Reply bodies = client.command("FETCH 1:3 (BODY.PEEK[])");
    QVERIFY(bodies.ok());
    QCOMPARE(bodies.untagged.size(), 3);
    QVERIFY(bodies.untagged[2].contains("Message 3 of hostile."));
    QCOMPARE(proxy.connectionsSeen(), 2);
    QCOMPARE(proxy.connectionsCut(), 1);

    // A cut with bytes to spare leaves a short command alone.
    proxy.cutAfterCommand(QRegularExpression(QStringLiteral("NOOP")), 1 << 20, 1);
    ImapTestClient spared;
    QVERIFY(login(spared, *m_server, proxy.port(), ImapTestClient::Security::Clear));
    QVERIFY(spared.command("NOOP").ok());
    QVERIFY(spared.command("LOGOUT").ok());
    QCOMPARE(proxy.connectionsCut(), 1);
}

void TestDovecotServer::countersTellHeadersFromBodies() {
    QVERIFY(m_server->waitForSessionsEnded());
    const FetchCounters before = m_server->fetchCounters();

    ImapTestClient client;
    QVERIFY(login(client, *m_server, m_server->imapPort(), ImapTestClient::Security::Clear));
    QCOMPARE(messageCount(client, kHostile), 3);
    QVERIFY(client.command("FETCH 1:3 (UID RFC822.SIZE BODY.PEEK[HEADER])").ok());
    QVERIFY(client.command("LOGOUT").ok());
    QVERIFY(m_server->waitForSessionsEnded());
    const FetchCounters headers = m_server->fetchCounters();
    QCOMPARE(headers.sessions, before.sessions + 1);
    QCOMPARE(headers.bodyFetches, before.bodyFetches);
    QCOMPARE(headers.headerFetches, before.headerFetches + 3);

    auto bodies = std::make_unique<ImapTestClient>();
    QVERIFY(login(*bodies, *m_server, m_server->imapPort(), ImapTestClient::Security::Clear));
    QCOMPARE(messageCount(*bodies, kHostile), 3);
    QVERIFY(bodies->command("FETCH 2 (BODY.PEEK[])").ok());
    bodies.reset(); // dropped without LOGOUT
    QVERIFY(m_server->waitForSessionsEnded());
    const FetchCounters body = m_server->fetchCounters();
    QCOMPARE(body.bodyFetches, headers.bodyFetches + 1);
    QVERIFY(body.bodyBytes > headers.bodyBytes + 100);
}

QTEST_GUILESS_MAIN(TestDovecotServer)
#include "tst_dovecotserver.moc"
