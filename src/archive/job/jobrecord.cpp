#include "archive/job/jobrecord.h"

namespace tessaly {

MessageOutcome JobRecord::countedAs(MessageOutcome outcome) {
    switch (outcome) {
    case MessageOutcome::Made:
    case MessageOutcome::EmlOnly:
    case MessageOutcome::AlreadyArchived:
    case MessageOutcome::EmergencyEml:
    case MessageOutcome::FailedTwice:
    case MessageOutcome::Unreadable:
        return outcome;
    case MessageOutcome::None:
    case MessageOutcome::Reserved:
    case MessageOutcome::Failed:
    case MessageOutcome::Nothing:
    case MessageOutcome::NotArchived:
        break;
    }
    return MessageOutcome::NotArchived;
}

bool JobRecord::isListed(MessageOutcome outcome) {
    switch (countedAs(outcome)) {
    case MessageOutcome::EmergencyEml:
    case MessageOutcome::FailedTwice:
    case MessageOutcome::Unreadable:
    case MessageOutcome::NotArchived:
        return true;
    default:
        return false;
    }
}

void JobRecord::count(MessageOutcome outcome, int messages) {
    switch (countedAs(outcome)) {
    case MessageOutcome::Made:
        m_figures.pdfsMade += messages;
        break;
    case MessageOutcome::EmlOnly:
        m_figures.emlOnly += messages;
        break;
    case MessageOutcome::AlreadyArchived:
        m_figures.alreadyArchived += messages;
        break;
    case MessageOutcome::EmergencyEml:
        m_figures.emergencyEml += messages;
        break;
    case MessageOutcome::FailedTwice:
        m_figures.failedTwice += messages;
        break;
    case MessageOutcome::Unreadable:
        m_figures.unreadable += messages;
        break;
    default:
        m_figures.notArchived += messages;
        break;
    }
}

void JobRecord::list(MessageOutcome outcome, const QString& source, const QString& detail) {
    m_errors.add({countedAs(outcome), source, detail});
}

void JobRecord::note(MessageOutcome outcome, const QString& source, const QString& detail) {
    count(outcome);
    if (isListed(outcome)) {
        list(outcome, source, detail);
    }
}

} // namespace tessaly
