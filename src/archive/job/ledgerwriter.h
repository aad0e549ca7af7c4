#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace tessaly {

class ArchiveLedger;

// Writes a job's outcomes into its ledger off the window's thread: a write may wait on a
// second process that holds the archive's write lock (a command-line run beside the window),
// and on the ledger's own lock while the job's readers claim names. Writes run one after
// another, in the order given, on one thread for the whole process, which is waited for when
// the process ends: a write given is never lost.
class LedgerWriter : public QObject {
    Q_OBJECT

public:
    // What a write does on the writer's thread: "" when it worked, else why not.
    using Write = std::function<QString(ArchiveLedger& ledger)>;
    // Called on this object's thread with what the write returned.
    using Done = std::function<void(const QString& error)>;

    using QObject::QObject;

    void post(std::shared_ptr<ArchiveLedger> ledger, Write write, Done done = {});
    // Writes given whose completion has not run yet.
    int pending() const { return m_pending; }
    // Goes once its writes have completed (at once when none are pending): the writes of a
    // job that is gone still complete.
    void deleteWhenDrained();

Q_SIGNALS:
    // Every write given so far has completed.
    void drained();

private:
    int m_pending = 0;
};

} // namespace tessaly
