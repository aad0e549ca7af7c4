#include "tags/binaryplist.h"
#include "tags/openmeta.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/xattr.h>

using namespace tessaly;

namespace {
QByteArray rawXdgTags(const QString& path) {
    char buffer[4096];
    const ssize_t n =
        ::lgetxattr(QFile::encodeName(path).constData(), "user.xdg.tags", buffer, sizeof buffer);
    return n < 0 ? QByteArray() : QByteArray(buffer, n);
}
} // namespace

class TestOpenMeta : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void userTagsAreDeduplicatedAndDecomposed();
    void parameterErrors();
    void syncOfOlderAttribute();
    void valueSizeLimit();
    void ratings();
    void commonTags();
    void symlinksAreNotFollowed();

private:
    QString m_file;
    QTemporaryDir m_dir;
};

void TestOpenMeta::initTestCase() {
    if (!OpenMeta::MavericksOrLater()) {
        QSKIP("the temporary folder's file system takes no user extended attributes");
    }
    QCOMPARE(OpenMeta::tagsToSearchFor(), QStringLiteral("kMDItemUserTags"));
}

void TestOpenMeta::init() {
    static int counter = 0;
    m_file = m_dir.filePath(QStringLiteral("f%1.pdf").arg(++counter));
    QFile file(m_file);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

void TestOpenMeta::userTagsAreDeduplicatedAndDecomposed() {
    QVERIFY(!OpenMeta::setUserTags(QStringList{"Work", "work", "Home"}, m_file));
    QCOMPARE(*OpenMeta::getUserTags(m_file), (QStringList{"Work", "Home"}));
    QCOMPARE(rawXdgTags(m_file), QByteArray("Work,Home"));
    QVERIFY(OpenMeta::getXAttrMetaData(QStringLiteral("kMDItemOMUserTagTime"), m_file).typeId() ==
            QMetaType::QDateTime);

    // Precomposed é is stored decomposed; adding the precomposed spelling again changes nothing.
    QVERIFY(!OpenMeta::setUserTags(QStringList{QStringLiteral("caf\u00e9")}, m_file));
    QCOMPARE(OpenMeta::getUserTags(m_file)->first(), QStringLiteral("cafe\u0301"));
    QVERIFY(!OpenMeta::addUserTags(QStringList{QStringLiteral("CAF\u00c9")}, m_file));
    QCOMPARE(OpenMeta::getUserTags(m_file)->size(), 1);

    QVERIFY(!OpenMeta::addUserTags(QStringList{"b", "a"}, m_file));
    QVERIFY(!OpenMeta::clearUserTags(QStringList{"B"}, m_file));
    QCOMPARE(*OpenMeta::getUserTags(m_file), (QStringList{QStringLiteral("cafe\u0301"), "a"}));

    // An empty list is a valid list.
    QVERIFY(!OpenMeta::setUserTags(QStringList{}, m_file));
    QCOMPARE(*OpenMeta::getUserTags(m_file), QStringList{});
}

void TestOpenMeta::parameterErrors() {
    const QVariantList withNumber{QStringLiteral("a"), 3};
    OpenMetaResult error = OpenMeta::setUserTags(withNumber, m_file);
    QVERIFY(error);
    QCOMPARE(error->code, -1);
    QCOMPARE(error->info, QStringLiteral("Open Meta SYNC parameter error"));
    error = OpenMeta::addUserTags(withNumber, m_file);
    QCOMPARE(error->info, QStringLiteral("Open Meta parameter error"));
    QVERIFY(rawXdgTags(m_file).isEmpty());

    QCOMPARE(OpenMeta::setXAttr(1, QStringLiteral("x"), QString())->code, -1);
    error = OpenMeta::setXAttr(1, QStringLiteral("x"), m_dir.filePath(QStringLiteral("missing")));
    QCOMPARE(error->domain, QStringLiteral("POSIX"));
    QCOMPARE(error->code, ENOENT);
    QVERIFY(error->info.startsWith(QStringLiteral("errno error: 2, ")));
}

void TestOpenMeta::syncOfOlderAttribute() {
    // Platform tags (a), the older attribute (b), no marker: reads as both and syncs once.
    QVERIFY(!OpenMeta::setAppleTags(QStringList{"a"}, m_file));
    QVERIFY(
        !OpenMeta::setXAttrMetaData(QStringList{"b"}, QStringLiteral("kMDItemOMUserTags"), m_file));
    QCOMPARE(*OpenMeta::getUserTags(m_file), (QStringList{"a", "b"}));
    QCOMPARE(rawXdgTags(m_file), QByteArray("a,b"));
    QCOMPARE(OpenMeta::getXAttr(QStringLiteral("kOM109SyncDone"), m_file), QVariant(true));

    QVERIFY(!OpenMeta::setUserTags(QStringList{"c"}, m_file));
    QCOMPARE(*OpenMeta::getUserTags(m_file), QStringList{"c"});

    // An untagged file reads as nothing and gains no marker.
    init();
    QVERIFY(!OpenMeta::getUserTags(m_file));
    QVERIFY(!OpenMeta::getXAttr(QStringLiteral("kOM109SyncDone"), m_file).isValid());
}

void TestOpenMeta::valueSizeLimit() {
    // Find the string whose binary plist is exactly 4096 bytes.
    qsizetype exact = -1;
    for (qsizetype n = 3900; n < 4096 && exact < 0; ++n) {
        if (toBinaryPlist(QString(n, u'x'))->size() == OpenMeta::kMaxValueBytes) {
            exact = n;
        }
    }
    QVERIFY(exact > 0);
    const QString key = QStringLiteral("com.apple.metadata:big");
    QVERIFY(!OpenMeta::setXAttr(QStringLiteral("small"), key, m_file));
    // 4096 bytes pass our limit; ext4 itself keeps a value to a little under one block, so the
    // file system may still refuse it with its own error.
    const OpenMetaResult atLimit = OpenMeta::setXAttr(QString(exact, u'x'), key, m_file);
    QVERIFY(!atLimit || atLimit->domain == QStringLiteral("POSIX"));
    if (atLimit) {
        QVERIFY(!OpenMeta::setXAttr(QStringLiteral("small"), key, m_file));
    }
    const OpenMetaResult tooBig = OpenMeta::setXAttr(QString(exact + 1, u'y'), key, m_file);
    QVERIFY(tooBig);
    QCOMPARE(tooBig->code, -5);
    QVERIFY(OpenMeta::getXAttr(key, m_file).toString() != QString(exact + 1, u'y'));
}

void TestOpenMeta::ratings() {
    QVERIFY(!OpenMeta::setRating(7, m_file));
    QCOMPARE(OpenMeta::getRating(m_file), 5.0);
    QVERIFY(!OpenMeta::setRating(0, m_file));
    QCOMPARE(OpenMeta::getRating(m_file), 0.0);
    const OpenMetaResult missing = OpenMeta::setRating(-1, m_file);
    QVERIFY(missing);
    QCOMPARE(missing->code, ENODATA);
}

void TestOpenMeta::commonTags() {
    const QString first = m_file;
    init();
    const QString second = m_file;
    QVERIFY(!OpenMeta::setUserTags(QStringList{"A", "B"}, first));
    QVERIFY(!OpenMeta::setUserTags(QStringList{"b", "C"}, second));
    QCOMPARE(OpenMeta::getCommonUserTags({first, second}), QStringList{"B"});

    QVERIFY(!OpenMeta::setCommonUserTags({first, second}, {"B"}, {"Z"}));
    QCOMPARE(*OpenMeta::getUserTags(first), (QStringList{"A", "Z"}));
    QCOMPARE(*OpenMeta::getUserTags(second), (QStringList{"C", "Z"}));

    QVERIFY(!OpenMeta::addToNSArrayMetaData({QStringLiteral("x")}, QStringLiteral("list"), first));
    QVERIFY(!OpenMeta::addToNSArrayMetaData({QStringLiteral("x"), QStringLiteral("y")},
                                            QStringLiteral("list"), first));
    QCOMPARE(OpenMeta::getNSArrayMetaData(QStringLiteral("list"), first)->size(), 2);
}

void TestOpenMeta::symlinksAreNotFollowed() {
    const QString link = m_dir.filePath(QStringLiteral("link.pdf"));
    QVERIFY(QFile::link(m_file, link));
    // Linux refuses user attributes on symbolic links themselves; the target stays untouched.
    QVERIFY(OpenMeta::setUserTags(QStringList{"t"}, link));
    QVERIFY(!OpenMeta::getUserTags(m_file));
}

QTEST_GUILESS_MAIN(TestOpenMeta)
#include "tst_openmeta.moc"
