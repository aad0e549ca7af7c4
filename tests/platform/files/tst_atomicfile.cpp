#include "platform/files/atomicfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tessaly;

class TestAtomicFile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void replaceAndKeep();
    void racingProcessesNeverOverwrite();
    void failuresAreReportedAndLeaveNothing();
    void modificationTime();

private:
    static QByteArray read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static QStringList hidden(const QString& dir) {
        return QDir(dir).entryList({QStringLiteral(".tessaly-*")}, QDir::Hidden | QDir::Files);
    }
};

void TestAtomicFile::replaceAndKeep() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.eml"));
    QVERIFY(writeFileAtomically(path, "first", ExistingFile::Replace).written());
    QVERIFY(writeFileAtomically(path, "second", ExistingFile::Replace).written());
    QCOMPARE(read(path), QByteArray("second"));

    const WriteOutcome kept = writeFileAtomically(path, "third", ExistingFile::KeepExisting);
    QCOMPARE(kept.status, WriteOutcome::Status::AlreadyExists);
    QCOMPARE(read(path), QByteArray("second"));

    // Files get the usual permissions, not the temporary file's private ones.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    QCOMPARE(QFileInfo(path).permissions() & QFileDevice::WriteOwner, QFileDevice::WriteOwner);
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0666 & ~mask);
    QVERIFY(hidden(dir.path()).isEmpty());
}

void TestAtomicFile::racingProcessesNeverOverwrite() {
    // Several processes race to keep their own copy at the same path; exactly one wins and its
    // content is whole.
    for (int round = 0; round < 5; ++round) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("race.eml"));
        constexpr int kWriters = 6;
        pid_t children[kWriters];
        for (int i = 0; i < kWriters; ++i) {
            children[i] = ::fork();
            QVERIFY(children[i] >= 0);
            if (children[i] == 0) {
                const QByteArray body = QByteArray(200000, static_cast<char>('a' + i));
                const WriteOutcome outcome =
                    writeFileAtomically(path, body, ExistingFile::KeepExisting);
                ::_exit(outcome.written()                                       ? 10
                        : outcome.status == WriteOutcome::Status::AlreadyExists ? 11
                                                                                : 12);
            }
        }
        int winners = 0;
        for (pid_t child : children) {
            int status = 0;
            ::waitpid(child, &status, 0);
            QVERIFY(WIFEXITED(status));
            QVERIFY(WEXITSTATUS(status) == 10 || WEXITSTATUS(status) == 11);
            winners += WEXITSTATUS(status) == 10 ? 1 : 0;
        }
        QCOMPARE(winners, 1);
        const QByteArray content = read(path);
        QCOMPARE(content.size(), 200000);
        QCOMPARE(content.count(content.front()), 200000);
        QVERIFY(hidden(dir.path()).isEmpty());
    }
}

void TestAtomicFile::failuresAreReportedAndLeaveNothing() {
    QTemporaryDir dir;
    const WriteOutcome missing = writeFileAtomically(dir.filePath(QStringLiteral("no/such/x.pdf")),
                                                     "x", ExistingFile::Replace);
    QCOMPARE(missing.status, WriteOutcome::Status::Failed);
    QVERIFY(!missing.error.isEmpty());

    // A folder in the way of the final name: the write fails and the folder stays.
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    QVERIFY(QDir().mkdir(blocked));
    QCOMPARE(writeFileAtomically(blocked, "x", ExistingFile::Replace).status,
             WriteOutcome::Status::Failed);
    QVERIFY(QFileInfo(blocked).isDir());
    QVERIFY(hidden(dir.path()).isEmpty());

    if (::geteuid() != 0) {
        const QString readOnly = dir.filePath(QStringLiteral("ro"));
        QVERIFY(QDir().mkdir(readOnly));
        QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        QCOMPARE(
            writeFileAtomically(readOnly + QStringLiteral("/x"), "x", ExistingFile::Replace).status,
            WriteOutcome::Status::Failed);
    }
}

void TestAtomicFile::modificationTime() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("dated.pdf"));
    QVERIFY(writeFileAtomically(path, "x", ExistingFile::Replace).written());
    const QDateTime when = QDateTime::fromSecsSinceEpoch(1390032980, Qt::UTC);
    QVERIFY(setFileModificationTime(path, when));
    QCOMPARE(QFileInfo(path).lastModified().toUTC(), when);
    const QDateTime early = QDateTime::fromMSecsSinceEpoch(-1500, Qt::UTC);
    QVERIFY(setFileModificationTime(path, early));
    QCOMPARE(QFileInfo(path).lastModified().toUTC(), early);
    QVERIFY(!setFileModificationTime(dir.filePath(QStringLiteral("missing")), when));
}

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
