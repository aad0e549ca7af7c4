#pragma once

#include "archive/job/errorreport.h"
#include "render/messageoutcome.h"

#include <QString>

namespace tessaly {

// What happened to the messages of one job so far.
struct JobFigures {
    int found = 0;
    int handedOut = 0;
    int pdfsMade = 0;
    int alreadyArchived = 0;
    int emergencyEml = 0;
    int emlOnly = 0;
    int failedTwice = 0;
    int unreadable = 0;
    int notArchived = 0;
    // Server folders that could not be opened: how many messages they hold is not known.
    int foldersNotRead = 0;
};

// A job's figures and its error report, kept from how each message ended by one rule: every
// outcome is counted once, and one that leaves the message less than archived is listed with
// why.
class JobRecord {
public:
    // What a message's outcome counts as in the figures, the report and the ledger: a render
    // that ended with nothing kept (failed with nothing to retry, nothing to do) is not
    // archived.
    static MessageOutcome countedAs(MessageOutcome outcome);
    // Whether messages that end so are listed in the report.
    static bool isListed(MessageOutcome outcome);

    // Counts a message and lists it when its outcome is listed; `source` is how the user
    // knows it.
    void note(MessageOutcome outcome, const QString& source, const QString& detail);
    // Counts messages without listing them (a folder that could not be read is listed once
    // for all of them).
    void count(MessageOutcome outcome, int messages = 1);
    // Lists without counting: a message counted already, or a folder of messages.
    void list(MessageOutcome outcome, const QString& source, const QString& detail);
    void folderNotRead() { ++m_figures.foldersNotRead; }

    const JobFigures& figures() const { return m_figures; }
    const ErrorReport& errors() const { return m_errors; }

private:
    JobFigures m_figures;
    ErrorReport m_errors;
};

} // namespace tessaly
