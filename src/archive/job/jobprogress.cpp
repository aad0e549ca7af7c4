#include "archive/job/jobprogress.h"

namespace tessaly {

void JobProgress::scanning() {
    m_literal = false;
    m_description = QStringLiteral("%d of %d (scanning for files)");
    m_fraction = 0.005;
}

void JobProgress::archiving(int handedOut, int total) {
    if (total <= 0) {
        return;
    }
    m_literal = false;
    m_description = QStringLiteral("Archiving\u2026 %d of %d, %d new");
    m_fraction = handedOut * 0.8 / total + 0.15;
}

void JobProgress::archivingAccount(int handedOut, int total) {
    if (total <= 0) {
        return;
    }
    m_literal = false;
    m_description = QStringLiteral("Archiving\u2026 %d of %d scanned, %d new");
    m_fraction = handedOut * 0.8 / total + 0.15;
}

void JobProgress::literal(const QString& line, double fraction) {
    m_literal = true;
    m_description = line;
    m_fraction = fraction;
}

void JobProgress::completing() {
    m_literal = false;
    m_description = QStringLiteral("Completing final operations");
    m_fraction = 0.92;
}

void JobProgress::done() {
    m_literal = false;
    m_description = QStringLiteral("Done");
    m_fraction = 1.0;
}

void JobProgress::cancelled() {
    m_literal = false;
    m_description = QStringLiteral("Cancelled");
}

void JobProgress::failed(const QString& reason) {
    m_literal = true; // the reason may be a server's words
    m_description = QStringLiteral("Failed: ") + reason;
    m_fraction = 1.0;
}

QString JobProgress::statusText(int handedOut, int total, int made) const {
    QString text = m_description;
    if (m_literal) {
        return text;
    }
    for (int number : {handedOut, total, made}) {
        const qsizetype at = text.indexOf(QStringLiteral("%d"));
        if (at < 0) {
            break;
        }
        text.replace(at, 2, QString::number(number));
    }
    return text;
}

} // namespace tessaly
