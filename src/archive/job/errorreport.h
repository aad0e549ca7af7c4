#pragma once

#include "render/messageoutcome.h"

#include <QDateTime>
#include <QList>
#include <QString>

namespace tessaly {

// What a job could not archive, for the file "Errors.txt" in its destination.
class ErrorReport {
public:
    struct Entry {
        // FailedTwice, Unreadable, EmergencyEml or NotArchived: what is not archived whole.
        using Kind = MessageOutcome;
        Kind kind;
        QString path;
        QString detail; // what the message was, or why the file is no message
    };

    void add(Entry entry) { m_entries.append(std::move(entry)); }
    bool isEmpty() const { return m_entries.isEmpty(); }
    int count(Entry::Kind kind) const;
    const QList<Entry>& entries() const { return m_entries; }

    // The report's text as of `now`.
    QString text(const QDateTime& now) const;
    // Adds the report to "Errors.txt" in `folder`; the file's path, or empty with the reason.
    [[nodiscard]] QString write(const QString& folder, QString* error) const;

private:
    QList<Entry> m_entries;
};

} // namespace tessaly
