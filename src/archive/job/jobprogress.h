#pragma once

#include <QString>

namespace tessaly {

// A job's status line and progress fraction, as the job list shows them. The line may hold
// up to three "%d" placeholders, filled with the numbers handed out, the total and the PDFs
// made this run.
class JobProgress {
public:
    void scanning();
    void archiving(int handedOut, int total);
    // The same for a server's messages, which are scanned before they are fetched.
    void archivingAccount(int handedOut, int total);
    // A line of its own that holds no placeholders: text from a server (a folder's name) may
    // hold "%d" and is shown as it is.
    void literal(const QString& line, double fraction);
    void completing();
    void done();
    void cancelled();
    // The job could not run at all.
    void failed(const QString& reason);

    const QString& operationDescription() const { return m_description; }
    double fractionDone() const { return m_fraction; }
    QString statusText(int handedOut, int total, int made) const;

private:
    QString m_description = QStringLiteral("Waiting");
    bool m_literal = false;
    double m_fraction = 0;
};

} // namespace tessaly
