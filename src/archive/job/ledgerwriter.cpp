#include "archive/job/ledgerwriter.h"

#include "archive/ledger/archiveledger.h"

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace tessaly {

namespace {

// One thread: writes keep their order, and the archive's write lock is asked for by one
// writer of this process at a time. Destroyed at exit, after the writes in flight.
struct WriterThread {
    WriterThread() { pool.setMaxThreadCount(1); }
    QThreadPool pool;
};

QThreadPool* writerThread() {
    static WriterThread thread;
    return &thread.pool;
}

} // namespace

void LedgerWriter::post(std::shared_ptr<ArchiveLedger> ledger, Write write, Done done) {
    ++m_pending;
    auto* watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, done = std::move(done)] {
        watcher->deleteLater();
        if (done) {
            done(watcher->result());
        }
        if (--m_pending == 0) {
            Q_EMIT drained();
        }
    });
    watcher->setFuture(
        QtConcurrent::run(writerThread(), [ledger = std::move(ledger), write = std::move(write)] {
            return write(*ledger);
        }));
}

void LedgerWriter::deleteWhenDrained() {
    // Still there when the application goes (no event loop runs to complete its writes): it
    // goes with it, and its completions with it. The writes themselves are waited for.
    setParent(QCoreApplication::instance());
    if (m_pending == 0) {
        deleteLater();
        return;
    }
    connect(this, &LedgerWriter::drained, this, &QObject::deleteLater);
}

} // namespace tessaly
