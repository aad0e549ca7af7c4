#include "platform/mail/mcomessageparser.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace tessaly;

// Real messages collected by other mail projects, many of them broken on purpose.
class TestMailCorpus : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyMessageParses();
};

void TestMailCorpus::everyMessageParses() {
    QStringList files = test::sharedCorpusFiles();
    const bool haveShared = !files.isEmpty();
    const QDir data(test::dataFile(QString()));
    for (const QString& name : data.entryList({QStringLiteral("*.eml")}, QDir::Files)) {
        files.append(data.filePath(name));
    }

    int emlFiles = 0;
    int withSubject = 0;
    int withDate = 0;
    int withSender = 0;
    int parts = 0;
    for (const QString& path : files) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        const QByteArray raw = file.readAll();
        MCOMessageParser parser(raw);
        QVERIFY2(parser.data() == raw, qPrintable(path));
        if (path.endsWith(QStringLiteral(".eml"))) {
            ++emlFiles;
            withSubject += parser.header().subject().isEmpty() ? 0 : 1;
            withDate += parser.header().date() ? 1 : 0;
            withSender += parser.header().from() ? 1 : 0;
        }
        parts += parser.attachments().size() + parser.htmlInlineAttachments().size();
        for (const MCOAttachment& part : parser.attachments()) {
            QVERIFY2(!part.uniqueID.isEmpty(), qPrintable(path));
        }
    }
    qInfo("parsed %lld files (%s); of %d .eml files %d have a subject, %d a date, %d a sender; "
          "%d parts",
          static_cast<long long>(files.size()),
          haveShared ? "shared corpus and tests/data" : "tests/data only; no shared corpus",
          emlFiles, withSubject, withDate, withSender, parts);
    // Most real mail has these; a parser that lost them would fall far below.
    QVERIFY(withSubject > emlFiles * 8 / 10);
    QVERIFY(withSender > emlFiles * 8 / 10);
}

QTEST_GUILESS_MAIN(TestMailCorpus)
#include "tst_mailcorpus.moc"
