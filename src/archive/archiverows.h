#pragma once

#include "archive/job/rendertool.h"

#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QPointer>
#include <QString>

namespace tessaly {

class ArchiveController;
class PreferenceStore;

// What a job left to tell once it is gone from the job list: messages it could not archive
// (with its error report), why its source could not start, or why an account's folder list
// could not be had. A note lasts until a new job of the same name is listed.
class ArchiveRowNotes {
public:
    struct Note {
        QString jobName;
        // The run the note came from; null for a source that never started, and once that job
        // has been deleted.
        QPointer<RenderTool> job;
        bool oneOff = false; // from a job of dropped files, not of a source
        QString notStarted;
        QString folderError;
        QString summary; // JobSummary's line, only when something was not archived
        QString errorReportPath;

        bool isEmpty() const {
            return notStarted.isEmpty() && folderError.isEmpty() && summary.isEmpty() &&
                   errorReportPath.isEmpty();
        }
        // The note's lines as the row shows them.
        QString text() const;
    };

    // A cancelled job only leaves a note when it wrote an error report: stopping is the
    // user's own choice, not a fault.
    void jobFinished(RenderTool* job, bool oneOff);
    void sourceNotStarted(const QString& source, const QString& reason);
    void errorFolderNames(const QString& account, const QString& error, RenderTool* job);
    // Drops the notes of names that have been started again.
    void forgetRestarted(const QList<RenderTool*>& jobs);
    void dismiss(const QString& jobName);

    const Note* find(const QString& jobName) const;
    // In the order they were first taken.
    const QList<Note>& notes() const { return m_notes; }

private:
    // The note of this name, emptied when it came from another run than `job`.
    Note& noteFor(const QString& jobName, RenderTool* job);
    void dropEmpty();

    QList<Note> m_notes;
};

// One row of the archive view: a source, a listed one-off job, or a one-off job that ended
// with a note and stays until dismissed.
struct ArchiveRow {
    enum class Kind { Source, OneOff, FinishedOneOff };

    Kind kind = Kind::Source;
    QString label; // the name as it can be shown (control characters escaped)
    QString jobName;
    // The listed job the row shows; held weakly, the job list deletes jobs when they end.
    QPointer<RenderTool> job;
    bool listed = false;
    bool running = false; // listed and started, not waiting for a free slot
    double fraction = 0;
    QString message;
    QString note;
    QString errorReportPath;
};

// How the job list and the stored per-job preferences read as rows and status texts.
class ArchiveRows {
public:
    // One row per source (in source order), then one per listed one-off job (in job-list
    // order), then the one-off jobs that ended with a note.
    static QList<ArchiveRow> rows(const ArchiveController& controller, const PreferenceStore& store,
                                  const ArchiveRowNotes& notes, const QLocale& locale = QLocale());

    // The text of a source without a listed job: "Not Archived", or when it last completed
    // and how many PDFs its last run added (`numDone`); "EML files done." for the empty name.
    static QString lastArchivedDate(const PreferenceStore& store, const QString& source,
                                    int numDone, const QLocale& locale = QLocale());

    // The window's status line: "NAME - N%" of the last started job, "" when none is.
    static QString windowStatusLine(const QList<RenderTool*>& jobs);

    // A date and time in the locale's medium length: the month abbreviated, seconds shown,
    // no weekday and no time zone ("18 Jan 2014 08:16:10", "Jan 18, 2014 8:16:10 AM").
    static QString mediumDateTime(const QDateTime& when, const QLocale& locale);

    // The last component of a job name: a folder's own name, an address as it is.
    static QString lastPathComponent(const QString& name);
};

} // namespace tessaly
