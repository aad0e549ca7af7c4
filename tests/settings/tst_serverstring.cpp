#include "platform/mail/mailproviders.h"
#include "settings/lookupserver.h"
#include "settings/utils.h"

#include <QTest>

#include <climits>

using namespace tessaly;

class TestServerString : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void serverString_data();
    void serverString();
    void lookupServer_data();
    void lookupServer();
    void providerWithoutImap();
};

void TestServerString::serverString_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("security");

    const int clear = 1;
    const int starttls = 2;
    const int tls = 4;
    QTest::newRow("empty") << ""
                           << "" << 993 << tls;
    QTest::newRow("host alone") << "mail.example.org"
                                << "mail.example.org" << 993 << tls;
    QTest::newRow("port and STARTTLS") << "H:143:STARTTLS"
                                       << "H" << 143 << starttls;
    QTest::newRow("clear") << "H:143:clear"
                           << "H" << 143 << clear;
    QTest::newRow("nossl") << "H:143:NoSSL"
                           << "H" << 143 << clear;
    QTest::newRow("notls") << "H:143:notls"
                           << "H" << 143 << clear;
    QTest::newRow("empty port") << "H::tls"
                                << "H" << 0 << tls;
    QTest::newRow("unknown word") << "H:993:ssl"
                                  << "H" << 993 << tls;
    QTest::newRow("port alone") << "H:143"
                                << "H" << 143 << tls;
    QTest::newRow("trailing colon") << "H:"
                                    << "H" << 0 << tls;
    QTest::newRow("extra parts ignored") << "H:143:starttls:clear"
                                         << "H" << 143 << starttls;
    QTest::newRow("word not trimmed") << "H:143: starttls"
                                      << "H" << 143 << tls;
    // The port is read the way strtol reads the start of a text.
    QTest::newRow("port with junk") << "H: \t143abc"
                                    << "H" << 143 << tls;
    QTest::newRow("signed port") << "H:-5"
                                 << "H" << -5 << tls;
    QTest::newRow("plus sign") << "H:+25"
                               << "H" << 25 << tls;
    QTest::newRow("no digits") << "H:imap"
                               << "H" << 0 << tls;
    QTest::newRow("huge port") << "H:99999999999999"
                               << "H" << INT_MAX << tls;
    QTest::newRow("empty host") << ":143:clear"
                                << "" << 143 << clear;
}

void TestServerString::serverString() {
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, security);
    QCOMPARE(Utils::serverNameFromServerString(text), host);
    QCOMPARE(Utils::serverPortFromServerString(text), port);
    QCOMPARE(static_cast<int>(Utils::useSSLFromServerString(text)), security);
}

void TestServerString::lookupServer_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("host");

    QTest::newRow("gmail") << "ann@gmail.com"
                           << "imap.gmail.com";
    QTest::newRow("letter case") << "Ann@GMail.COM"
                                 << "imap.gmail.com";
    QTest::newRow("googlemail") << "ann@googlemail.com"
                                << "imap.gmail.com";
    QTest::newRow("root label") << "ann@gmail.com."
                                << "imap.gmail.com";
    QTest::newRow("hotmail") << "ann@hotmail.com"
                             << "outlook.office365.com";
    QTest::newRow("msn") << "ann@msn.com"
                         << "outlook.office365.com";
    QTest::newRow("yahoo family") << "ann@yahoo.co.uk"
                                  << "imap.mail.yahoo.com";
    QTest::newRow("yahoo japan") << "ann@yahoo.co.jp"
                                 << "imap.mail.yahoo.co.jp";
    QTest::newRow("icloud") << "ann@me.com"
                            << "imap.mail.me.com";
    QTest::newRow("gmx family") << "ann@GMX.de"
                                << "imap.gmx.net";
    QTest::newRow("gmx.com") << "ann@gmx.com"
                             << "imap.gmx.com";
    QTest::newRow("t-online") << "ann@t-online.de"
                              << "secureimap.t-online.de";
    QTest::newRow("qq") << "ann@qq.com"
                        << "imap.qq.com";
    QTest::newRow("several @") << "\"a@b\"@posteo.de"
                               << "posteo.de";
    // A company server that merely starts with a family's name is not that family's.
    QTest::newRow("not the family") << "ann@yahoo.example.com"
                                    << "";
    QTest::newRow("subdomain") << "ann@mail.gmail.com"
                               << "";
    QTest::newRow("unknown") << "ann@example.org"
                             << "";
    QTest::newRow("no domain") << "ann@"
                               << "";
    QTest::newRow("no address") << "gmail.com"
                                << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestServerString::lookupServer() {
    QFETCH(QString, address);
    QFETCH(QString, host);
    QCOMPARE(LookupServer::lookupServer(address), host);
}

void TestServerString::providerWithoutImap() {
    // Known, so no guessing goes on, but there is no server to offer.
    const std::optional<MailProvider> proton = providerForEmail(QStringLiteral("ann@proton.me"));
    QVERIFY(proton);
    QVERIFY(proton->imapHostnames.isEmpty());
    QCOMPARE(LookupServer::lookupServer(QStringLiteral("ann@proton.me")), QString());
    QVERIFY(!providerForEmail(QStringLiteral("ann@example.org")));
}

QTEST_GUILESS_MAIN(TestServerString)
#include "tst_serverstring.moc"
