#pragma once

#include "archive/ledger/archiveledger.h"
#include "platform/mail/mcomessageparser.h"
#include "render/messagetohtmltopdf.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace tessaly {

// A message made ready for an engine, from a file or from a server.
struct LoadedMessage {
    // Where it came from, as the user is told: a file's path, or a server folder and UID.
    QString path;
    std::shared_ptr<MCOMessageParser> message; // null when no message could be made
    QString unreadableReason;                  // why, when there is no message
    QString mailFolder;
    QString mailappAttachments;
    // The name it was given (its PDF path, or its EML path when PDFs are off; empty when
    // both are off), and its row in the archive's ledger.
    ClaimedName name;
    qint64 ledgerRow = 0;
    QString identity;
    // Archived already, at its own name (or being archived right now by another run): nothing
    // to hand to an engine.
    bool alreadyArchived = false;
    // Why no name could be given (the ledger could not be written): not archived.
    QString claimError;
    // Why it could not be fetched, twice: listed among the messages tried twice.
    QString failedTwiceReason;
};

// Where a job's messages come from. Each message is taken once; the source says when nothing
// is left to take.
class MessageSource : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Nothing left to load or take.
    virtual bool finished() const = 0;
    // The next message, once one is ready.
    virtual std::optional<LoadedMessage> take() = 0;
    // Messages ready to be taken that need an engine.
    virtual int readyNeedingEngines() const = 0;
    // How many messages that need an engine may wait here, made ready.
    virtual void setReadyLimit(int limit) = 0;

Q_SIGNALS:
    void ready();
};

} // namespace tessaly
