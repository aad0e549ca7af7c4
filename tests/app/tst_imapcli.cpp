// tessaly-cli account and run against a private Dovecot, with passwords in a private GNOME
// Keyring and real render boxes.

#include "cuttingproxy.h"
#include "dovecotserver.h"
#include "keyringsession.h"
#include "platform/prefs/preferencestore.h"
#include "settings/fxkeychain.h"
#include "testsupport.h"

#include <QDirIterator>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

using namespace tessaly;
using namespace tessaly::test;

namespace {

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

const QString kPassword = QStringLiteral("secret-pw");

QStringList filesUnder(const QString& root, const QString& suffix) {
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(suffix) && !path.contains(QStringLiteral("/.tessaly/"))) {
            files.append(path);
        }
    }
    return files;
}

} // namespace

class TestImapCli : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<KeyringSession> m_keyring;
    std::unique_ptr<DovecotServer> m_server;
    QTemporaryDir m_dest;
    QTemporaryDir m_secrets;
    QString m_passwordFile;

    QProcessEnvironment environment() const {
        QProcessEnvironment env = m_keyring->environment();
        env.insert(QStringLiteral("TESSALY_RENDERBOX_PROGRAM"),
                   qEnvironmentVariable("TESSALY_RENDERBOX_PROGRAM"));
        return env;
    }

    QString configFile() const {
        return environment().value(QStringLiteral("XDG_CONFIG_HOME")) +
               QStringLiteral("/Tessaly/Tessaly.conf");
    }

    // Runs tessaly-cli with the event loop turning, so that a proxy in this process keeps
    // forwarding; `watch` is called every 50 ms with the process's id.
    Result cli(const QStringList& arguments, const QByteArray& input = {},
               const std::function<void(qint64)>& watch = {}) {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(qEnvironmentVariable("TESSALY_CLI_PROGRAM"), arguments);
        if (!process.waitForStarted(10000)) {
            return {};
        }
        process.write(input);
        process.closeWriteChannel();
        QEventLoop loop;
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (watch && process.state() == QProcess::Running) {
                watch(process.processId());
            }
        });
        poll.start(50);
        QTimer::singleShot(qEnvironmentVariableIntValue("TESSALY_TEST_CLI_TIMEOUT_S") > 0
                               ? qEnvironmentVariableIntValue("TESSALY_TEST_CLI_TIMEOUT_S") * 1000
                               : 600'000,
                           &loop, &QEventLoop::quit);
        if (process.state() == QProcess::Running) {
            loop.exec();
        }
        if (process.state() == QProcess::Running) {
            qWarning() << "tessaly-cli did not end:" << arguments;
            process.kill();
            process.waitForFinished();
        }
        Result result{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                      QString::fromUtf8(process.readAllStandardOutput()),
                      QString::fromUtf8(process.readAllStandardError())};
        if (result.exitCode != 0 || qEnvironmentVariableIsSet("TESSALY_TEST_VERBOSE")) {
            qInfo().noquote() << arguments.join(u' ') << "->" << result.exitCode << '\n'
                              << result.out << result.err.right(3000);
        }
        return result;
    }

    QString tls() const { return QStringLiteral("127.0.0.1:%1:tls").arg(m_server->imapsPort()); }
    QString clear(quint16 port) const { return QStringLiteral("127.0.0.1:%1:clear").arg(port); }

    Result addAccount(const QString& address, const QString& server,
                      const QString& password = kPassword) {
        return cli({QStringLiteral("account"), QStringLiteral("add"), address,
                    QStringLiteral("--server"), server, QStringLiteral("--password-stdin")},
                   password.toUtf8() + '\n');
    }

    void setPreference(const QString& key, const QVariant& value) {
        PreferenceStore store(configFile());
        store.setValue(key, value);
        QVERIFY(store.sync());
    }

    static int figure(const QString& summary, const QString& name) {
        const QRegularExpression number(name + QStringLiteral(" (\\d+)"));
        const QRegularExpressionMatch match = number.match(summary);
        return match.hasMatch() ? match.captured(1).toInt() : -1;
    }

    qint64 bodyFetches() const {
        if (!m_server->waitForSessionsEnded()) {
            return -1;
        }
        return m_server->fetchCounters().bodyFetches;
    }

private Q_SLOTS:
    void initTestCase() {
        QString error;
        m_keyring = KeyringSession::start(KeyringSession::Mode::WithKeyring, &error);
        QVERIFY2(m_keyring, qPrintable(error));
        DovecotServer::Options options;
        options.users = {QStringLiteral("alice@example.test"), QStringLiteral("big@example.test"),
                         QStringLiteral("carol@example.test"), QStringLiteral("dan@example.test")};
        options.password = kPassword;
        m_server = DovecotServer::start(options, &error);
        QVERIFY2(m_server, qPrintable(error));
        QVERIFY(m_dest.isValid());
        m_passwordFile = m_secrets.filePath(QStringLiteral("password"));
        writeFile(m_passwordFile, kPassword.toUtf8() + '\n');
        setPreference(QStringLiteral("destBookmarkURL"), m_dest.path());
    }

    // An account is saved only once its server has listed its folders; a certificate that
    // does not verify is refused with its fingerprint until the user trusts that one.
    void accountsAreTestedBeforeTheyAreSaved() {
        const QString alice = QStringLiteral("alice@example.test");
        Result added = addAccount(alice, tls());
        QCOMPARE(added.exitCode, 1);
        QVERIFY2(added.err.contains(m_server->certificateSha256()), qPrintable(added.err));
        QCOMPARE(cli({QStringLiteral("account"), QStringLiteral("list")}).out, QString());

        Result wrong = cli({QStringLiteral("account"), QStringLiteral("add"), alice,
                            QStringLiteral("--server"), tls(), QStringLiteral("--password-stdin"),
                            QStringLiteral("--trust-certificate"), m_server->certificateSha256()},
                           "wrong-password\n");
        QCOMPARE(wrong.exitCode, 1);
        QCOMPARE(cli({QStringLiteral("account"), QStringLiteral("list")}).out, QString());

        added = cli({QStringLiteral("account"), QStringLiteral("add"), alice,
                     QStringLiteral("--server"), tls(), QStringLiteral("--password-stdin"),
                     QStringLiteral("--trust-certificate"), m_server->certificateSha256()},
                    kPassword.toUtf8() + '\n');
        QCOMPARE(added.exitCode, 0);
        QVERIFY(added.out.split(u'\n').contains(QStringLiteral("INBOX")));

        // STARTTLS with the same certificate trusted, clear text, and a password command.
        const QString starttls = QStringLiteral("127.0.0.1:%1:starttls").arg(m_server->imapPort());
        QCOMPARE(cli({QStringLiteral("account"), QStringLiteral("add"),
                      QStringLiteral("carol@example.test"), QStringLiteral("--server"), starttls,
                      QStringLiteral("--password-command"), QStringLiteral("cat ") + m_passwordFile,
                      QStringLiteral("--trust-certificate"), m_server->certificateSha256()})
                     .exitCode,
                 0);
        QCOMPARE(
            addAccount(QStringLiteral("dan@example.test"), clear(m_server->imapPort())).exitCode,
            0);
        const QStringList listed = cli({QStringLiteral("account"), QStringLiteral("list")})
                                       .out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(listed,
                 QStringList({alice + u'\t' + tls() + QStringLiteral("\tpassword"),
                              QStringLiteral("carol@example.test\t") + starttls +
                                  QStringLiteral("\tcommand"),
                              QStringLiteral("dan@example.test\t") + clear(m_server->imapPort()) +
                                  QStringLiteral("\tpassword")}));
        // The passwords are in the keyring, not in the settings.
        QVERIFY(!readFile(configFile()).contains(kPassword.toUtf8()));
        QCOMPARE(m_keyring
                     ->run(QStringLiteral("secret-tool"),
                           {QStringLiteral("lookup"), QStringLiteral("account"),
                            alice + QStringLiteral("__PASS")})
                     .standardOutput,
                 kPassword.toUtf8());
        QCOMPARE(cli({QStringLiteral("account"), QStringLiteral("remove"),
                      QStringLiteral("carol@example.test")})
                     .exitCode,
                 0);
        QCOMPARE(cli({QStringLiteral("account"), QStringLiteral("list")}).out.count(u'\n'), 2);
    }

    // Every message of every folder that is on, 12,000 in one folder (three header chunks),
    // a hostile folder name kept inside the account's folder; the next run fetches no body.
    void anAccountIsArchivedOnceAndRerunsFetchNothing() {
        const QString big = QStringLiteral("big@example.test");
        const QString hostile = QStringLiteral("Reports/../x\tÜber");
        QString error;
        for (const QString& folder :
             {QStringLiteral("Big"), QStringLiteral("Empty"), QStringLiteral("Off"), hostile}) {
            QVERIFY2(m_server->createFolder(big, folder, &error), qPrintable(error));
        }
        QVERIFY2(m_server->addMessages(big, QStringLiteral("Big"),
                                       generatedMessages(12000, QStringLiteral("big")), &error),
                 qPrintable(error));
        QVERIFY(m_server->addMessages(big, QStringLiteral("Off"),
                                      generatedMessages(5, QStringLiteral("off")), &error));
        QVERIFY(m_server->addMessages(big, hostile, generatedMessages(3, QStringLiteral("hostile")),
                                      &error));
        QVERIFY(m_server->addMessages(big, QStringLiteral("INBOX"),
                                      generatedMessages(7, QStringLiteral("inbox")), &error));
        QCOMPARE(addAccount(big, clear(m_server->imapPort())).exitCode, 0);
        QCOMPARE(
            cli({QStringLiteral("account"), QStringLiteral("skip"), big, QStringLiteral("Off")})
                .exitCode,
            0);
        const QString folders =
            cli({QStringLiteral("account"), QStringLiteral("folders"), big}).out;
        QVERIFY2(folders.contains(QStringLiteral("off\tOff\n")), qPrintable(folders));
        QVERIFY2(folders.contains(QStringLiteral("on\tReports/../x\\tÜber\n")),
                 qPrintable(folders));
        // EML copies only: thousands of PDFs would take the test far too long.
        setPreference(big + QStringLiteral("pdf"), QStringLiteral("none"));
        setPreference(big + QStringLiteral("eml"), QStringLiteral("%Y/__subject__.eml"));

        const qint64 bodiesBefore = bodyFetches();
        Result first = cli({QStringLiteral("run"), big});
        QCOMPARE(first.exitCode, 0);
        QCOMPARE(figure(first.out, QStringLiteral("found")), 12010);
        QCOMPARE(figure(first.out, QStringLiteral("PDFs made")), 12010);
        const QString account = m_dest.path() + u'/' + big;
        QCOMPARE(filesUnder(account, QStringLiteral(".eml")).size(), 12010);
        QCOMPARE(filesUnder(m_dest.path(), QStringLiteral(".eml")).size(), 12010);
        // Names on disk are in decomposed form.
        const QString hostileFolder =
            QStringLiteral("/Reports/__/x\tÜber").normalized(QString::NormalizationForm_D);
        QCOMPARE(filesUnder(account + hostileFolder, QStringLiteral(".eml")).size(), 3);
        QCOMPARE(bodyFetches() - bodiesBefore, 12010);

        Result second = cli({QStringLiteral("run"), big});
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(figure(second.out, QStringLiteral("PDFs made")), 0);
        QCOMPARE(figure(second.out, QStringLiteral("already archived")), 12010);
        QCOMPARE(bodyFetches() - bodiesBefore, 12010);

        // A message deleted on the server keeps its file; one added is archived next time.
        QVERIFY(m_server->removeMessage(big, QStringLiteral("INBOX"), "<inbox-1@tessaly.test>",
                                        &error));
        QVERIFY(m_server->append(big, QStringLiteral("INBOX"),
                                 generatedMessages(1, QStringLiteral("later")).first(), &error));
        Result third = cli({QStringLiteral("run"), big});
        QCOMPARE(third.exitCode, 0);
        QCOMPARE(figure(third.out, QStringLiteral("PDFs made")), 1);
        QCOMPARE(filesUnder(account, QStringLiteral(".eml")).size(), 12011);
        QCOMPARE(bodyFetches() - bodiesBefore, 12011);
    }

    // PDFs through real boxes; no box is ever told the password, nor is any file or log.
    void passwordsReachNoBoxFileOrLog() {
        const QString alice = QStringLiteral("alice@example.test");
        QString error;
        QList<QByteArray> messages = corpusMessages(12, QStringLiteral("alice"));
        if (messages.isEmpty()) {
            messages = generatedMessages(12, QStringLiteral("alice"));
        }
        QVERIFY(m_server->addMessages(alice, QStringLiteral("INBOX"), messages, &error));
        QSet<QByteArray> commandLines;
        Result run = cli({QStringLiteral("run"), alice}, {}, [&](qint64 cliPid) {
            const QHash<qint64, qint64> parents = processParents();
            for (auto it = parents.begin(); it != parents.end(); ++it) {
                qint64 ancestor = it.value();
                while (ancestor > 1 && ancestor != cliPid) {
                    ancestor = parents.value(ancestor, 0);
                }
                if (ancestor == cliPid) {
                    commandLines.insert(processCommandLine(it.key()));
                }
            }
        });
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(figure(run.out, QStringLiteral("PDFs made")), messages.size());
        QCOMPARE(filesUnder(m_dest.path() + u'/' + alice, QStringLiteral(".pdf")).size(),
                 messages.size());
        QVERIFY(!commandLines.isEmpty());
        for (const QByteArray& line : std::as_const(commandLines)) {
            QVERIFY2(!line.contains(kPassword.toUtf8()), line.constData());
        }
        QVERIFY(!run.out.contains(kPassword) && !run.err.contains(kPassword));
        QDirIterator files(m_keyring->home(), QDir::Files | QDir::Hidden,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            if (!path.contains(QStringLiteral("/keyrings/"))) {
                QVERIFY2(!readFile(path).contains(kPassword.toUtf8()), qPrintable(path));
            }
        }
        for (const QString& path : filesUnder(m_dest.path(), QString())) {
            QVERIFY2(!readFile(path).contains(kPassword.toUtf8()) || path.endsWith(u".eml"),
                     qPrintable(path));
        }
    }

    // A refused password ends the job at once with the server's reason; an account with no
    // password starts no job.
    void refusedAndMissingPasswords() {
        const QString dan = QStringLiteral("dan@example.test");
        // The stored password changed behind the account's back.
        QCOMPARE(m_keyring
                     ->run(QStringLiteral("secret-tool"),
                           {QStringLiteral("clear"), QStringLiteral("account"),
                            dan + QStringLiteral("__PASS")})
                     .exitCode,
                 0);
        QCOMPARE(m_keyring
                     ->run(QStringLiteral("secret-tool"),
                           {QStringLiteral("store"), QStringLiteral("--label"), QStringLiteral("t"),
                            QStringLiteral("service"), FXKeychain::applicationService(),
                            QStringLiteral("account"), dan + QStringLiteral("__PASS")},
                           "not-the-password")
                     .exitCode,
                 0);
        Result refused = cli({QStringLiteral("run"), dan});
        QCOMPARE(refused.exitCode, 2);
        QVERIFY2(refused.err.contains(QStringLiteral("ErrorFolderNames")), qPrintable(refused.err));
        QVERIFY2(refused.out.contains(QStringLiteral("; Failed: ")), qPrintable(refused.out));

        m_keyring->run(
            QStringLiteral("secret-tool"),
            {QStringLiteral("clear"), QStringLiteral("account"), dan + QStringLiteral("__PASS")});
        Result missing = cli({QStringLiteral("run"), dan});
        QCOMPARE(missing.exitCode, 2);
        QVERIFY2(missing.err.contains(QStringLiteral("not started")), qPrintable(missing.err));
        QCOMPARE(missing.out, QString());
    }

    // A connection cut in the middle of a header chunk and of a message: retried on a new
    // connection, nothing counted that was not archived, and nothing lost.
    void droppedConnectionsLoseNothing() {
        const QString carol = QStringLiteral("carol@example.test");
        QString error;
        QVERIFY(m_server->addMessages(carol, QStringLiteral("INBOX"),
                                      generatedMessages(300, QStringLiteral("carol")), &error));
        CuttingProxy proxy(m_server->imapPort());
        QVERIFY(proxy.port() != 0);
        QCOMPARE(addAccount(carol, clear(proxy.port())).exitCode, 0);
        setPreference(carol + QStringLiteral("pdf"), QStringLiteral("none"));
        setPreference(carol + QStringLiteral("eml"), QStringLiteral("%Y/__subject__.eml"));

        proxy.cutAfterCommand(QRegularExpression(QStringLiteral("BODY\\.PEEK\\[HEADER\\]")), 20000);
        Result headers = cli({QStringLiteral("run"), carol});
        QCOMPARE(proxy.connectionsCut(), 1);
        QCOMPARE(headers.exitCode, 0);
        QCOMPARE(figure(headers.out, QStringLiteral("PDFs made")), 300);

        QVERIFY(m_server->addMessages(carol, QStringLiteral("INBOX"),
                                      generatedMessages(40, QStringLiteral("carol-more")), &error));
        proxy.cutAfterCommand(QRegularExpression(QStringLiteral("BODY\\.PEEK\\[\\]")), 200, 3);
        Result bodies = cli({QStringLiteral("run"), carol});
        QCOMPARE(proxy.connectionsCut(), 4);
        const int made = figure(bodies.out, QStringLiteral("PDFs made"));
        const int failed = figure(bodies.out, QStringLiteral("failed twice"));
        QCOMPARE(made + failed, 40);
        QCOMPARE(bodies.exitCode, failed == 0 ? 0 : 2);
        Result after = cli({QStringLiteral("run"), carol});
        QCOMPARE(after.exitCode, 0);
        QCOMPARE(figure(after.out, QStringLiteral("PDFs made")), failed);
        QCOMPARE(filesUnder(m_dest.path() + u'/' + carol, QStringLiteral(".eml")).size(), 340);
    }
};

QTEST_GUILESS_MAIN(TestImapCli)
#include "tst_imapcli.moc"
