#include "archive/archiverows.h"

#include "archive/archivecontroller.h"
#include "archive/job/jobsummary.h"
#include "archive/sources/imapmessagesource.h"
#include "platform/prefs/preferencestore.h"
#include "settings/accountkeys.h"

#include <QRegularExpression>

namespace tessaly {

namespace {

// The per-job preferences the job list keeps (a stored interface, as the job list names them).

// Where a removed token was, so that the separators around it can go too.
constexpr QChar kGap = u'\x01';

// A date or time format with some of its fields changed: `change` gets every unquoted run of
// one field letter and returns what replaces it. Quoted text is kept as it is.
template <typename Change> QString rewriteFormat(const QString& format, Change change) {
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c == u'\'') {
            quoted = !quoted;
            out += c;
            ++i;
            continue;
        }
        if (quoted || !c.isLetter()) {
            out += c;
            ++i;
            continue;
        }
        qsizetype end = i;
        while (end < format.size() && format[end] == c) {
            ++end;
        }
        out += change(c, end - i);
        i = end;
    }
    // The separators around a removed field ("dddd, ") go with it.
    static const QRegularExpression gap(QStringLiteral("[,\\s]*\\x01[,\\s]*"));
    out.replace(gap, QStringLiteral(" "));
    static const QRegularExpression edges(QStringLiteral("^[,\\s]+|[,\\s]+$"));
    out.remove(edges);
    return out;
}

} // namespace

QString ArchiveRowNotes::Note::text() const {
    QStringList lines;
    if (!notStarted.isEmpty()) {
        lines.append(QStringLiteral("Not started: ") + notStarted);
    }
    if (!folderError.isEmpty()) {
        lines.append(QStringLiteral("Folder names could not be loaded: ") +
                     ImapMessageSource::displayName(folderError));
    }
    if (!summary.isEmpty()) {
        lines.append(summary);
    }
    return lines.join(u'\n');
}

ArchiveRowNotes::Note& ArchiveRowNotes::noteFor(const QString& jobName, RenderTool* job) {
    Note fresh;
    fresh.jobName = jobName;
    fresh.job = job;
    for (Note& note : m_notes) {
        if (note.jobName == jobName) {
            if (note.job != job) {
                note = fresh;
            }
            return note;
        }
    }
    m_notes.append(fresh);
    return m_notes.last();
}

void ArchiveRowNotes::dropEmpty() {
    m_notes.removeIf([](const Note& note) { return note.isEmpty(); });
}

void ArchiveRowNotes::jobFinished(RenderTool* job, bool oneOff) {
    if (!job) {
        return;
    }
    const JobSummary summary = JobSummary::of(*job);
    Note& note = noteFor(job->jobName(), job);
    const bool reported = !summary.errorReport.isEmpty();
    note.oneOff = oneOff;
    if (reported || (!job->wasCancelled() && !summary.archivedAll())) {
        note.summary = summary.line(false);
        note.errorReportPath = summary.errorReport;
    }
    dropEmpty();
}

void ArchiveRowNotes::sourceNotStarted(const QString& source, const QString& reason) {
    noteFor(source, nullptr).notStarted = reason.isEmpty() ? QStringLiteral("unknown") : reason;
}

void ArchiveRowNotes::errorFolderNames(const QString& account, const QString& error,
                                       RenderTool* job) {
    noteFor(account, job).folderError = error.isEmpty() ? QStringLiteral("unknown") : error;
}

void ArchiveRowNotes::forgetRestarted(const QList<RenderTool*>& jobs) {
    m_notes.removeIf([&jobs](const Note& note) {
        for (RenderTool* job : jobs) {
            if (job->jobName() == note.jobName && job != note.job) {
                return true;
            }
        }
        return false;
    });
}

void ArchiveRowNotes::dismiss(const QString& jobName) {
    m_notes.removeIf([&jobName](const Note& note) { return note.jobName == jobName; });
}

const ArchiveRowNotes::Note* ArchiveRowNotes::find(const QString& jobName) const {
    for (const Note& note : m_notes) {
        if (note.jobName == jobName) {
            return &note;
        }
    }
    return nullptr;
}

QList<ArchiveRow> ArchiveRows::rows(const ArchiveController& controller,
                                    const PreferenceStore& store, const ArchiveRowNotes& notes,
                                    const QLocale& locale) {
    const QStringList sources = controller.emailANDFolderAccounts();
    auto withNote = [&notes](ArchiveRow& row) {
        if (const ArchiveRowNotes::Note* note = notes.find(row.jobName)) {
            row.note = note->text();
            row.errorReportPath = note->errorReportPath;
        }
    };
    auto withJob = [&controller](ArchiveRow& row, RenderTool* job) {
        row.job = job;
        row.listed = true;
        row.running = !job->waiting();
        row.fraction = job->fractionDone();
        row.message = job->statusText(controller.numDoneThisSession(job->jobName()));
    };

    QList<ArchiveRow> rows;
    for (const QString& source : sources) {
        ArchiveRow row;
        row.kind = ArchiveRow::Kind::Source;
        row.jobName = source;
        row.label = ImapMessageSource::displayName(source);
        if (RenderTool* job = controller.renderToolForjobName(source)) {
            withJob(row, job);
        } else {
            row.message =
                lastArchivedDate(store, source, controller.numDoneThisSession(source), locale);
        }
        withNote(row);
        rows.append(row);
    }
    QStringList oneOffNames;
    for (RenderTool* job : controller.renderJobs()) {
        if (sources.contains(job->jobName())) {
            continue;
        }
        ArchiveRow row;
        row.kind = ArchiveRow::Kind::OneOff;
        row.jobName = job->jobName();
        row.label = ImapMessageSource::displayName(job->jobName());
        withJob(row, job);
        withNote(row);
        rows.append(row);
        oneOffNames.append(job->jobName());
    }
    for (const ArchiveRowNotes::Note& note : notes.notes()) {
        if (!note.oneOff || sources.contains(note.jobName) || oneOffNames.contains(note.jobName)) {
            continue;
        }
        ArchiveRow row;
        row.kind = ArchiveRow::Kind::FinishedOneOff;
        row.jobName = note.jobName;
        row.label = ImapMessageSource::displayName(note.jobName);
        row.message = lastArchivedDate(store, {}, 0, locale);
        withNote(row);
        rows.append(row);
    }
    return rows;
}

QString ArchiveRows::lastArchivedDate(const PreferenceStore& store, const QString& source,
                                      int numDone, const QLocale& locale) {
    if (source.isEmpty()) {
        return QStringLiteral("EML files done.");
    }
    const QDateTime finished = store.value(source + accountkeys::lastFinishedSuffix).toDateTime();
    if (!finished.isValid()) {
        return QStringLiteral("Not Archived");
    }
    const QString when = mediumDateTime(finished.toLocalTime(), locale);
    if (numDone != 0) {
        return QStringLiteral("Last Archived: %1  (%2 PDFs added)").arg(when).arg(numDone);
    }
    return QStringLiteral("Last Archived: %1").arg(when);
}

QString ArchiveRows::windowStatusLine(const QList<RenderTool*>& jobs) {
    QString line;
    for (const RenderTool* job : jobs) {
        if (job->waiting()) {
            continue;
        }
        line = QStringLiteral("%1 - %2%")
                   .arg(ImapMessageSource::displayName(lastPathComponent(job->jobName())))
                   .arg(static_cast<int>(job->fractionDone() * 100));
    }
    return line;
}

QString ArchiveRows::mediumDateTime(const QDateTime& when, const QLocale& locale) {
    const QString date = rewriteFormat(locale.dateFormat(QLocale::LongFormat),
                                       [](QChar letter, qsizetype count) -> QString {
                                           if (letter == u'd' && count >= 3) {
                                               return QString(kGap); // the weekday
                                           }
                                           if (letter == u'M' && count >= 4) {
                                               return QStringLiteral("MMM");
                                           }
                                           return QString(count, letter);
                                       });
    const QString time = rewriteFormat(locale.timeFormat(QLocale::LongFormat),
                                       [](QChar letter, qsizetype count) -> QString {
                                           if (letter == u't') {
                                               return QString(kGap); // the time zone
                                           }
                                           return QString(count, letter);
                                       });
    return locale.toString(when.date(), date) + u' ' + locale.toString(when.time(), time);
}

QString ArchiveRows::lastPathComponent(const QString& name) {
    QString trimmed = name;
    while (trimmed.size() > 1 && trimmed.endsWith(u'/')) {
        trimmed.chop(1);
    }
    const qsizetype slash = trimmed.lastIndexOf(u'/');
    if (slash < 0 || trimmed.size() == 1) {
        return trimmed;
    }
    return trimmed.mid(slash + 1);
}

} // namespace tessaly
