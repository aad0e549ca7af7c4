#include "keyringsession.h"
#include "platform/keychain/keychain.h"
#include "settings/fxkeychain.h"

#include <QDirIterator>
#include <QProcess>
#include <QTest>

#include <memory>

using namespace tessaly;

class TestKeychain : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void storingReplacesTheOneItem();
    void removing();
    void valuesAndPropertyLists();
    void callsThatDoNotWait();
    void noSecretServiceFailsFastAndWritesNothing_data();
    void noSecretServiceFailsFastAndWritesNothing();

private:
    int itemCount(const QStringList& attributes) const;

    const QString m_service = QStringLiteral("org.tessaly.Test");
    std::unique_ptr<test::KeyringSession> m_session;
    std::shared_ptr<SecretServiceKeychain> m_store = std::make_shared<SecretServiceKeychain>();
};

void TestKeychain::initTestCase() {
    QString error;
    m_session = test::KeyringSession::start(test::KeyringSession::Mode::WithKeyring, &error);
    QVERIFY2(m_session, qPrintable(error));
    m_session->applyToCurrentProcess();
}

int TestKeychain::itemCount(const QStringList& attributes) const {
    const test::KeyringSession::Output listing =
        m_session->run(QStringLiteral("secret-tool"),
                       QStringList{QStringLiteral("search"), QStringLiteral("--all")} + attributes);
    int count = 0;
    for (const QByteArray& line : listing.standardOutput.split('\n')) {
        count += line.startsWith('[') ? 1 : 0;
    }
    return count;
}

void TestKeychain::storingReplacesTheOneItem() {
    FXKeychain keychain(m_store, m_service);
    const QStringList name = {QStringLiteral("service"), m_service, QStringLiteral("account"),
                              QStringLiteral("ann@example.com__PASS")};
    QVERIFY(keychain.setObject(QStringLiteral("first"), QStringLiteral("ann@example.com__PASS")));
    QVERIFY(keychain.setObject(QStringLiteral("second"), QStringLiteral("ann@example.com__PASS")));
    QCOMPARE(keychain.objectForKey(QStringLiteral("ann@example.com__PASS")),
             QVariant(QStringLiteral("second")));
    QCOMPARE(itemCount(name), 1);
    // Stored as plain text: other keyring tools show the password as it is.
    QCOMPARE(
        m_session->run(QStringLiteral("secret-tool"), QStringList{QStringLiteral("lookup")} + name)
            .standardOutput,
        QByteArray("second"));

    // A copy under the same name in another collection would answer lookups with an old
    // password; storing leaves one item.
    const test::KeyringSession::Output stale =
        m_session->run(QStringLiteral("secret-tool"),
                       QStringList{QStringLiteral("store"), QStringLiteral("--label=stale"),
                                   QStringLiteral("--collection=session")} +
                           name,
                       "stale");
    QVERIFY2(stale.exitCode == 0, stale.standardError.constData());
    QCOMPARE(itemCount(name), 2);
    QVERIFY(keychain.setObject(QStringLiteral("third"), QStringLiteral("ann@example.com__PASS")));
    QCOMPARE(itemCount(name), 1);
    QCOMPARE(keychain.objectForKey(QStringLiteral("ann@example.com__PASS")),
             QVariant(QStringLiteral("third")));

    // Another account's item is not touched.
    QVERIFY(keychain.setObject(QStringLiteral("bob's"), QStringLiteral("bob@example.com__PASS")));
    QCOMPARE(keychain.objectForKey(QStringLiteral("ann@example.com__PASS")),
             QVariant(QStringLiteral("third")));
}

void TestKeychain::removing() {
    FXKeychain keychain(m_store, m_service);
    const QString key = QStringLiteral("carol@example.com__PASS");
    QVERIFY(keychain.setObject(QStringLiteral("pw"), key));
    KeychainError error;
    QVERIFY(keychain.setObject(QVariant(), key, &error)); // storing no value removes
    QVERIFY(keychain.setObject(QStringLiteral("pw"), key));
    QVERIFY(keychain.removeObjectForKey(key, &error));
    QCOMPARE(error.kind, KeychainError::Kind::None);
    QVERIFY(!keychain.objectForKey(key, &error).isValid());
    QCOMPARE(error.kind, KeychainError::Kind::NotFound);

    // Nothing left to remove: false, one log line, nothing else happens.
    QVERIFY(keychain.setObject(QStringLiteral("dave's"), QStringLiteral("dave@example.com__PASS")));
    QTest::ignoreMessage(
        QtWarningMsg,
        "FXKeychain failed to delete data for key 'carol@example.com__PASS', error: 1");
    QVERIFY(!keychain.removeObjectForKey(key, &error));
    QCOMPARE(error.kind, KeychainError::Kind::NotFound);
    QCOMPARE(keychain.objectForKey(QStringLiteral("dave@example.com__PASS")),
             QVariant(QStringLiteral("dave's")));
}

void TestKeychain::valuesAndPropertyLists() {
    FXKeychain keychain(m_store, m_service);
    auto storeRaw = [this](const QString& account, const QByteArray& data) {
        QVERIFY(!m_store->store(m_service, account, data, account).isError());
    };

    // Written by another tool as a property list: read as the list's value.
    storeRaw(QStringLiteral("xml"),
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
             "<string>from a plist</string></plist>");
    QCOMPARE(keychain.objectForKey(QStringLiteral("xml")),
             QVariant(QStringLiteral("from a plist")));
    // The old text syntax has no reader in libplist 2.2: a quoted string stays text.
    storeRaw(QStringLiteral("quoted"), "\"quoted\"");
    QCOMPARE(keychain.objectForKey(QStringLiteral("quoted")),
             QVariant(QStringLiteral("\"quoted\"")));
    // Keyed archives are refused.
    storeRaw(QStringLiteral("archive"), "<plist><dict><key>$archiver</key>"
                                        "<string>NSKeyedArchiver</string></dict></plist>");
    QTest::ignoreMessage(QtWarningMsg, "FXKeychain failed to decode data for key 'archive', "
                                       "error: keyed archives are not read");
    QVERIFY(!keychain.objectForKey(QStringLiteral("archive")).isValid());
    // Neither a list nor UTF-8.
    storeRaw(QStringLiteral("binary"), QByteArray("\xff\xfe\x00\x01", 4));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral(
                             "^FXKeychain failed to decode data for key 'binary', error: ")));
    KeychainError error;
    QVERIFY(!keychain.objectForKey(QStringLiteral("binary"), &error).isValid());
    QCOMPARE(error.kind, KeychainError::Kind::Failed);

    // What this keychain writes reads back as written, also a password that happens to look
    // like a property list.
    const QList<QVariant> values = {
        QVariant(QStringLiteral("<string>abc</string>")),
        QVariant(QStringLiteral("<?xml version=\"1.0\"?><plist><true/></plist>")),
        QVariant(QStringLiteral("pässwörd ✓")),
        QVariant(QStringLiteral("")),
        QVariant(QStringList{QStringLiteral("a"), QStringLiteral("b")}),
        QVariant(true),
        QVariant(qlonglong(42)),
    };
    for (const QVariant& value : values) {
        QVERIFY(keychain.setObject(value, QStringLiteral("roundtrip")));
        const QVariant back = keychain.objectForKey(QStringLiteral("roundtrip"));
        if (value.typeId() == QMetaType::QStringList) {
            QCOMPARE(back.toStringList(), value.toStringList());
        } else {
            QCOMPARE(back, value);
        }
    }
}

void TestKeychain::callsThatDoNotWait() {
    FXKeychain keychain(m_store, m_service);
    const QString key = QStringLiteral("later@example.com__PASS");
    QObject context;
    // Answered in the order asked: the read after the write sees what was written.
    QStringList answers;
    keychain.setObject(QStringLiteral("typed"), key, &context,
                       [&answers](bool ok, const KeychainError&) {
                           answers.append(ok ? QStringLiteral("stored") : QStringLiteral("no"));
                       });
    keychain.objectForKey(key, &context, [&answers](const QVariant& value, const KeychainError&) {
        answers.append(value.toString());
    });
    keychain.removeObjectForKey(key, &context, [&answers](bool ok, const KeychainError&) {
        answers.append(ok ? QStringLiteral("removed") : QStringLiteral("no"));
    });
    keychain.objectForKey(
        key, &context, [&answers](const QVariant& value, const KeychainError& error) {
            answers.append(value.isValid() ? value.toString() : QString::number(error.status()));
        });
    QVERIFY(answers.isEmpty()); // nothing is answered before the event loop runs
    QTRY_COMPARE(answers,
                 QStringList({"stored", "typed", "removed",
                              QString::number(static_cast<long>(KeychainError::Kind::NotFound))}));

    // A caller gone before the answer hears nothing; the write itself still happens.
    bool called = false;
    auto gone = std::make_unique<QObject>();
    keychain.setObject(QStringLiteral("kept"), key, gone.get(),
                       [&called](bool, const KeychainError&) { called = true; });
    gone.reset();
    QString after;
    keychain.objectForKey(key, &context, [&after](const QVariant& value, const KeychainError&) {
        after = value.toString();
    });
    QTRY_COMPARE(after, QStringLiteral("kept"));
    QVERIFY(!called);
    QVERIFY(keychain.removeObjectForKey(key));
}

void TestKeychain::noSecretServiceFailsFastAndWritesNothing_data() {
    QTest::addColumn<bool>("withBus");
    QTest::newRow("bus without a keyring") << true;
    QTest::newRow("no session bus") << false;
}

void TestKeychain::noSecretServiceFailsFastAndWritesNothing() {
    QFETCH(bool, withBus);
    QString error;
    const std::unique_ptr<test::KeyringSession> session =
        test::KeyringSession::start(test::KeyringSession::Mode::BusOnly, &error);
    QVERIFY2(session, qPrintable(error));
    QProcessEnvironment env = session->environment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (!withBus) {
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    }

    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(TESSALY_KEYCHAIN_PROBE), QStringList());
    QVERIFY(probe.waitForFinished(20000));
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), 0);

    const QString unavailable = SecretServiceKeychain::unavailableMessage();
    const QList<QByteArray> lines = probe.readAllStandardOutput().split('\n');
    QCOMPARE(lines.size(), 6); // five lines and the end
    for (const char* step : {"store", "find", "remove", "account"}) {
        const QByteArray* line = nullptr;
        for (const QByteArray& candidate : lines) {
            if (candidate.startsWith(QByteArray(step) + '\t')) {
                line = &candidate;
            }
        }
        QVERIFY2(line, step);
        const QList<QByteArray> fields = line->split('\t');
        QCOMPARE(fields.size(), 4);
        QCOMPARE(fields[1].toInt(), static_cast<int>(KeychainError::Kind::Unavailable));
        QVERIFY2(fields[2].toInt() < 1000, line->constData());
        QCOMPARE(QString::fromUtf8(fields[3]), unavailable);
    }
    // An account whose password could not be kept is not made.
    QVERIFY(lines.contains(QByteArray("accounts\t")));

    // Nowhere in the home is the password kept instead.
    QDirIterator files(session->home(), QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(!file.readAll().contains("probe-secret-8c1f"), qPrintable(file.fileName()));
    }
}

QTEST_GUILESS_MAIN(TestKeychain)
#include "tst_keychain.moc"
