// The real tessaly-cli: messages archived through render boxes, indexed, then searched by
// subject, address and words of their text, with hostile terms and the walk that serves when
// the index finds nothing.

#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaly;

namespace {

struct Run {
    int status = -1;
    QString out;
    QString err;
};

QByteArray message(const QByteArray& from, const QByteArray& subject, const QByteArray& body,
                   const QByteArray& id) {
    return test::crlfMessage("From: " + from + "\nTo: Dan <dan@example.test>\nSubject: " + subject +
                             "\nDate: Sat, 18 Jan 2014 08:16:20 +0000\nMessage-ID: <" + id +
                             "@example.com>\nMIME-Version: 1.0\nContent-Type: text/plain; "
                             "charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n" +
                             body + "\n");
}

} // namespace

class TestSearchCli : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_archive;
    QString m_munich; // the PDF of the message about München

    Run cli(const QStringList& arguments) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", m_dir.filePath("config"));
        environment.insert("XDG_DATA_HOME", m_dir.filePath("data"));
        environment.insert("XDG_RUNTIME_DIR", m_dir.filePath("run"));
        process.setProcessEnvironment(environment);
        process.start(qEnvironmentVariable("TESSALY_CLI_PROGRAM"), arguments);
        Run result;
        if (!process.waitForFinished(300'000) || process.exitStatus() != QProcess::NormalExit) {
            return result;
        }
        result.status = process.exitCode();
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }
    QStringList search(const QStringList& arguments, int expectedStatus = 0) {
        const Run run = cli(QStringList{"search", "--in", m_archive} + arguments);
        if (run.status != expectedStatus) {
            qWarning("search %s: status %d, stderr %s", qPrintable(arguments.join(' ')), run.status,
                     qPrintable(run.err));
            return {"<unexpected status>"};
        }
        return run.out.split('\n', Qt::SkipEmptyParts);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("TESSALY_CLI_PROGRAM").isEmpty(),
                 "TESSALY_CLI_PROGRAM names the tessaly-cli to test");
        QDir().mkpath(m_dir.filePath("run"));
        QFile::setPermissions(m_dir.filePath("run"), QFileDevice::ReadOwner |
                                                         QFileDevice::WriteOwner |
                                                         QFileDevice::ExeOwner);
        m_archive = m_dir.filePath("Archive");
        test::writeFile(m_dir.filePath("in/munich.eml"),
                        message("Ann Émile <ann.emile@example.com>", "Treffen in München",
                                "Wir sehen uns am Zeppelinfeld, gleich neben dem Eingang.",
                                "munich"));
        test::writeFile(m_dir.filePath("in/budget.eml"),
                        message("Bob Stone <bob@example.org>", "Budget 2014",
                                "The numbers for a quarter of the year.", "budget"));
        const Run archived = cli({"archive", "--dest", m_archive, m_dir.filePath("in")});
        QVERIFY2(archived.status == 0, qPrintable(archived.err));
        const Run indexed = cli({"index", m_archive});
        QVERIFY2(indexed.status == 0, qPrintable(indexed.err));
        QVERIFY2(indexed.out.startsWith("indexed "), qPrintable(indexed.out));
        const QStringList munich = search({"--subject", "München"});
        QCOMPARE(munich.size(), 1);
        m_munich = munich.first();
        QVERIFY2(m_munich.endsWith("Treffen in München.pdf") ||
                     m_munich.endsWith("Treffen in Mu\u0308nchen.pdf"),
                 qPrintable(m_munich));
    }

    void queryStringsAreThoseOfTheLanguage() {
        Run run = cli({"search", "--subject", "invoice \"Q3 report\"", "--print-query"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QString("( kMDItemDisplayName == \"*invoice*\"cd ) && "
                                  "( kMDItemDisplayName == \"*Q3 report*\"cd )\n"
                                  "invoice \"q3 report\"\n"));
        run = cli({"search", "--subject", "x", "--address", "bob", "--print-query"});
        QCOMPARE(run.out.section('\n', 0, 0),
                 QString("( kMDItemDisplayName == \"x*\"cd ) && ( (kMDItemKeywords == "
                         "\"*bob*\"cd)  || (kMDItemAuthors == \"*bob*\"cd) )"));
        run = cli({"search", "--everywhere", "a b", "--print-query"});
        QCOMPARE(run.out.section('\n', 0, 0), QString("( * == \"a\"cdw ) && ( * == \"b\"cdw )"));
    }

    void subjectAddressAndTextFindTheMessage() {
        // Case and accents are ignored everywhere.
        QCOMPARE(search({"--subject", "munchen"}), QStringList{m_munich});
        QCOMPARE(search({"--subject", "TREFFEN"}), QStringList{m_munich});
        QCOMPARE(search({"--address", "ann.emile@example"}), QStringList{m_munich});
        QCOMPARE(search({"--address", "émile"}), QStringList{m_munich});
        // A word of the body, from the PDF's text.
        QCOMPARE(search({"--everywhere", "zeppelinfeld"}), QStringList{m_munich});
        QCOMPARE(search({"--everywhere", "Zeppelin"}), QStringList{m_munich});
        // All terms must hold.
        QCOMPARE(search({"--subject", "treffen", "--everywhere", "zeppelinfeld"}),
                 QStringList{m_munich});
        QCOMPARE(search({"--everywhere", "zeppelinfeld budget"}, 2), QStringList{});
        const QStringList budget = search({"--subject", "budget"});
        QCOMPARE(budget.size(), 1);
        QVERIFY(budget.first() != m_munich);

        const Run json = cli({"search", "--in", m_archive, "--subject", "munchen", "--json"});
        QCOMPARE(json.status, 0);
        const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
        QCOMPARE(object.value("path").toString(), m_munich);
        QCOMPARE(object.value("kind").toString(), QString("pdf"));
        QVERIFY2(object.value("title").toString().contains("Treffen"), qPrintable(json.out));
        QVERIFY2(object.value("authors").toString().contains("ann.emile@example.com") ||
                     object.value("authors").toString().contains("Ann"),
                 qPrintable(json.out));
        QCOMPARE(object.value("date").toString(), QString("2014-01-18T08:16:20Z"));
    }

    void hostileTermsAreText() {
        for (const QString& term :
             {QString("NEAR(treffen"), QString("'; DROP TABLE files; --"), QString("\"treffen"),
              QString("^treffen"), QString("-treffen"), QString("treffen*"), QString("(("),
              QString("AND"), QString("%"), QString("_")}) {
            for (const QString field : {"--subject", "--address", "--everywhere"}) {
                const Run run = cli({"search", "--in", m_archive, field, term});
                QVERIFY2(run.status == 0 || run.status == 2,
                         qPrintable(field + " " + term + ": " + run.err));
                QVERIFY2(!run.err.contains("failed"), qPrintable(run.err));
            }
        }
        // Nothing was harmed.
        QCOMPARE(search({"--subject", "munchen"}), QStringList{m_munich});
    }

    void theWalkServesWhenTheIndexFindsNothing() {
        // Put there after indexing: only the walk over the folders can find it.
        const QString late = m_archive + "/later/Quarterly Minutes.pdf";
        test::writeFile(late, "%PDF-1.4");
        QCOMPARE(search({"--subject", "quarterly minutes"}), QStringList{late});
        // A file the index lists but that is gone is not printed.
        QVERIFY(QFile::remove(late));
        QCOMPARE(search({"--subject", "quarterly minutes"}, 2), QStringList{});
    }

    void errorsOfUse() {
        Run run = cli({"search"});
        QCOMPARE(run.status, 1);
        QVERIFY(run.err.contains("nothing to search for"));
        run = cli({"search", "--subject"});
        QCOMPARE(run.status, 1);
        run = cli({"search", "--bogus", "x"});
        QCOMPARE(run.status, 1);
        // No stored archive and no --in.
        run = cli({"search", "--subject", "x"});
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains("no archive"), qPrintable(run.err));
    }
};

QTEST_GUILESS_MAIN(TestSearchCli)
#include "tst_searchcli.moc"
