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
};

namespace {

constexpr int clear = 1;
constexpr int starttls = 2;
constexpr int tls = 4;

void serverRow(const char* name, const char* text, const char* host, int port, int security) {
    QTest::newRow(name) << QString::fromUtf8(text) << QString::fromUtf8(host) << port << security;
}

void lookupRow(const char* name, const char* address, const char* host) {
    QTest::newRow(name) << QString::fromUtf8(address) << QString::fromUtf8(host);
}

} // namespace

void TestServerString::serverString_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("security");

    serverRow("empty", "", "", 993, tls);
    serverRow("host alone", "mail.example.org", "mail.example.org", 993, tls);
    serverRow("port and STARTTLS", "H:143:STARTTLS", "H", 143, starttls);
    serverRow("clear", "H:143:clear", "H", 143, clear);
    serverRow("nossl", "H:143:NoSSL", "H", 143, clear);
    serverRow("notls", "H:143:notls", "H", 143, clear);
    serverRow("empty port", "H::tls", "H", 0, tls);
    serverRow("unknown word", "H:993:ssl", "H", 993, tls);
    serverRow("port alone", "H:143", "H", 143, tls);
    serverRow("trailing colon", "H:", "H", 0, tls);
    serverRow("extra parts ignored", "H:143:starttls:clear", "H", 143, starttls);
    serverRow("word not trimmed", "H:143: starttls", "H", 143, tls);
    serverRow("empty host", ":143:clear", "", 143, clear);
    // The port is read the way strtol reads the start of a text.
    serverRow("port with junk", "H: \t143abc", "H", 143, tls);
    serverRow("signed port", "H:-5", "H", -5, tls);
    serverRow("no digits", "H:imap", "H", 0, tls);
    serverRow("huge port", "H:99999999999999", "H", INT_MAX, tls);
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

    lookupRow("gmail", "ann@gmail.com", "imap.gmail.com");
    lookupRow("letter case", "Ann@GMail.COM", "imap.gmail.com");
    lookupRow("root label", "ann@gmail.com.", "imap.gmail.com");
    lookupRow("hotmail", "ann@hotmail.com", "outlook.office365.com");
    lookupRow("yahoo family", "ann@yahoo.co.uk", "imap.mail.yahoo.com");
    lookupRow("yahoo japan", "ann@yahoo.co.jp", "imap.mail.yahoo.co.jp");
    lookupRow("gmx family", "ann@GMX.de", "imap.gmx.net");
    lookupRow("gmx.com", "ann@gmx.com", "imap.gmx.com");
    lookupRow("several @", "\"a@b\"@posteo.de", "posteo.de");
    // Known, but with no IMAP server of its own.
    lookupRow("no IMAP", "ann@proton.me", "");
    // A company's server that merely starts with a family's name is not that family's.
    lookupRow("not the family", "ann@yahoo.example.com", "");
    lookupRow("subdomain", "ann@mail.gmail.com", "");
    lookupRow("unknown", "ann@example.org", "");
    lookupRow("no address", "gmail.com", "");
}

void TestServerString::lookupServer() {
    QFETCH(QString, address);
    QFETCH(QString, host);
    QCOMPARE(LookupServer::lookupServer(address), host);
}

QTEST_GUILESS_MAIN(TestServerString)
#include "tst_serverstring.moc"
