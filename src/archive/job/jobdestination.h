#pragma once

#include <QString>

#include <memory>

namespace tessaly {

class ArchiveLedger;

// Where a job archives, made ready before any message is read: the folder is made and tried
// with a write, and its ledger is opened. A job that cannot write there ends at once, saying
// why, rather than failing message by message.
struct JobDestination {
    std::shared_ptr<ArchiveLedger> ledger;
    QString fatalError; // why the job cannot run; empty when it can

    // Blocks on the disk and on the ledger's lock: for a worker thread.
    static JobDestination prepare(const QString& root);
};

} // namespace tessaly
