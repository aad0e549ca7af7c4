#pragma once

#include "archive/job/rendertool.h"

#include <QString>
#include <QTextStream>

namespace tessaly {

// How a finished job is reported: on the command line, and in the window's row of the job.
struct JobSummary {
    QString jobName;
    JobFigures figures;
    QString status;
    QString errorReport;

    // A finished job's summary, as every front end shows it: a job stopped says "Cancelled".
    static JobSummary of(const RenderTool& job);

    // Every message handed out ended archived, and the job ran to its end.
    bool archivedAll() const;
    // "archived N messages: found N, ...", with "; STATUS" unless Done; `named` puts the job's
    // name first.
    QString line(bool named) const;
    // line() (after where the errors are listed), or one JSON object.
    void print(QTextStream& out, bool json, bool named) const;
};

// A terminal's progress bar for a fraction done.
QString progressBar(double fraction);

} // namespace tessaly
