// The search without its widgets: debounced restarts, index answers on a worker thread that
// follow the index, the walk when the index finds nothing, browsing, and the back history.

#include "platform/prefs/preferencestore.h"
#include "search/archiveindex.h"
#include "search/searchsession.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace tessaly;

class TestSearchSession : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PreferenceStore> m_store;
    std::unique_ptr<ArchiveIndex> m_index;
    QString m_root; // the archive of the one folder source

    QString indexPath() const { return m_dir->filePath("index.sqlite"); }

    // A PDF on disk and its row in the index.
    QString addFile(const QString& relative, const QString& title, qint64 date) {
        const QString path = m_root + "/" + relative;
        test::writeFile(path, "%PDF-1.4");
        IndexedFile file;
        file.path = path;
        file.root = m_root;
        file.kind = "pdf";
        file.displayName = QFileInfo(path).fileName();
        file.title = title;
        file.authors = "Ann <ann@example.com>";
        file.keywords = "ann@example.com, dan@example.test";
        file.textContent = title;
        file.contentDate = date;
        file.mtimeNs = 1;
        file.size = 8;
        if (!m_index->upsert({file})) {
            qWarning() << m_index->lastError();
        }
        return path;
    }

    static QStringList paths(const SearchSession& session) {
        QStringList list;
        for (const SearchResult& result : session.results()) {
            list.append(result.path);
        }
        return list;
    }

private Q_SLOTS:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<PreferenceStore>(m_dir->filePath("Tessaly.conf"));
        m_store->setDestinationFolder(m_dir->filePath("Archive"));
        m_store->setValue("FolderItems", QStringList{"/home/u/Mail"});
        m_root = m_dir->filePath("Archive/Mail");
        QString error;
        m_index = ArchiveIndex::open(indexPath(), &error);
        QVERIFY2(m_index, qPrintable(error));
    }

    void typingStartsOneSearchAndFollowsTheIndex() {
        const QString older =
            addFile("2019/03/2019-03-01 10.00.00Z  Treffen alt.pdf", "Treffen alt", 1551434400);
        const QString newer =
            addFile("2020/05/2020-05-01 10.00.00Z  Treffen neu.pdf", "Treffen neu", 1588327200);
        addFile("2020/05/2020-05-02 10.00.00Z  Budget.pdf", "Budget", 1588413600);
        SearchSession session(*m_store, indexPath());
        QSignalSpy searching(&session, &SearchSession::searchingChanged);
        for (const QString typed : {"T", "Tr", "Tref", "treffen"}) {
            session.setQuery(SearchQuery(typed, {}, {}));
            QTest::qWait(50);
        }
        QTRY_VERIFY(!session.nowSearching() && searching.count() == 2);
        QCOMPARE(searching.first().first().toBool(), true);
        QCOMPARE(paths(session), QStringList({newer, older}));
        QCOMPARE(session.countLabel(), QString("2 files (done)"));
        QVERIFY(session.followsIndex());

        // A message archived while the search is open shows up without a new search.
        const QString latest =
            addFile("2021/01/2021-01-01 10.00.00Z  Treffen drei.pdf", "Treffen drei", 1609495200);
        session.indexChanged();
        QTRY_COMPARE(paths(session), QStringList({latest, newer, older}));
        // Removed from disk: gone from the list, whatever the index still says.
        QVERIFY(QFile::remove(newer));
        session.indexChanged();
        QTRY_COMPARE(paths(session), QStringList({latest, older}));
    }

    void aLargeAnswerStopsFollowing() {
        std::vector<IndexedFile> files;
        for (int i = 0; i < SearchSession::kMaxResults + 5; ++i) {
            IndexedFile file;
            file.path = QString("%1/many/m%2.pdf").arg(m_root).arg(i);
            file.root = m_root;
            file.kind = "pdf";
            file.displayName = QString("report %1.pdf").arg(i);
            file.mtimeNs = 1;
            files.push_back(file);
        }
        QVERIFY(m_index->upsert(files));
        // Only the first files exist: what is shown is what is there.
        for (int i = 0; i < 3; ++i) {
            test::writeFile(files[size_t(i)].path, "%PDF");
        }
        SearchSession session(*m_store, indexPath());
        session.setQuery(SearchQuery("report", {}, {}));
        session.restartSearch();
        QTRY_VERIFY(!session.nowSearching());
        QVERIFY(!session.followsIndex());
        QVERIFY(session.results().size() <= SearchSession::kMaxResults);
    }

    void theWalkServesWhenTheIndexFindsNothing() {
        const QString unindexed = m_root + "/2019/Quarterly Minutes.pdf";
        test::writeFile(unindexed, "%PDF");
        SearchSession session(*m_store, indexPath());
        session.setQuery(SearchQuery("quarterly minutes", {}, {}));
        session.restartSearch();
        QTRY_VERIFY(!session.nowSearching());
        QCOMPARE(paths(session), QStringList{unindexed});
        QCOMPARE(session.results().first().kind, QString("pdf"));
    }

    void browsingAndHistory() {
        test::writeFile(m_root + "/2021/01/a.pdf", "%PDF");
        test::writeFile(m_root + "/2019/11/b.pdf", "%PDF");
        test::writeFile(m_root + "/Misc/c.pdf", "%PDF");
        test::writeFile(m_root + "/.hidden/d.pdf", "%PDF");
        SearchSession session(*m_store, indexPath());
        QVERIFY(!session.canGoBack());
        session.restartSearch();
        // Nothing typed, no place: the archive roots that exist.
        QCOMPARE(paths(session), QStringList{m_root});
        session.setPathConstraint(m_root);
        session.restartSearch();
        QCOMPARE(paths(session),
                 QStringList({m_root + "/2019", m_root + "/2021", m_root + "/Misc"}));
        QVERIFY(session.canGoBack());

        session.setQuery(SearchQuery("b", {}, {}));
        session.restartSearch();
        QTRY_VERIFY(!session.nowSearching());
        session.popHistory();
        QCOMPARE(session.query(), SearchQuery());
        QCOMPARE(session.pathConstraint(), m_root);
        QTRY_COMPARE(paths(session),
                     QStringList({m_root + "/2019", m_root + "/2021", m_root + "/Misc"}));
        session.popHistory();
        QTRY_COMPARE(paths(session), QStringList{m_root});
        QVERIFY(!session.canGoBack());
        // With one snapshot left, going back does nothing.
        session.popHistory();
        QCOMPARE(session.pathConstraint(), QString());

        session.setPathConstraint(m_root + "/2019");
        session.homeClicked();
        QTRY_COMPARE(paths(session), QStringList{m_root});
    }
};

QTEST_GUILESS_MAIN(TestSearchSession)
#include "tst_searchsession.moc"
