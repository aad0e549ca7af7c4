#pragma once

#include <QString>

#include <optional>

namespace tessaly {

// How a message ended, in one vocabulary for the render engines, the render boxes' answers,
// the archive's ledger, a job's figures and its error report. The names are stored (in ledgers
// and box answers): they must never change.
enum class MessageOutcome {
    None,            // nothing happened to it yet
    Reserved,        // ledger: its name is claimed by a run that has not recorded it yet
    Made,            // a sound PDF was made
    AlreadyArchived, // a sound PDF (or, EML-only, a sound EML) was already there
    EmlOnly,         // written by the EML-only route
    Failed,          // no PDF (the raw message is kept beside its path): worth a retry
    FailedTwice,     // failed, retried, failed again: an EML copy is kept instead
    Nothing,         // both formats are off
    EmergencyEml,    // given up on, or its render box failed: an EML copy is there
    NotArchived,     // nothing could be written for it
    Unreadable,      // no message could be made of the file
};

QString outcomeName(MessageOutcome outcome);
std::optional<MessageOutcome> outcomeNamed(const QString& name);
// The message's files are all there: a PDF, or the EML copy a job without PDFs makes.
inline bool isComplete(MessageOutcome outcome) {
    return outcome == MessageOutcome::Made || outcome == MessageOutcome::EmlOnly;
}

} // namespace tessaly
