#include "archive/job/jobsummary.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace tessaly {

JobSummary JobSummary::of(const RenderTool& job) {
    return {job.jobName(), job.figures(),
            job.wasCancelled() ? QStringLiteral("Cancelled") : job.operationDescription(),
            job.errorReportPath()};
}

namespace {

int archivedCount(const JobFigures& figures) {
    return figures.pdfsMade + figures.emlOnly + figures.alreadyArchived;
}

} // namespace

bool JobSummary::archivedAll() const {
    return archivedCount(figures) == figures.handedOut && figures.foldersNotRead == 0 &&
           status == u"Done";
}

void JobSummary::print(QTextStream& out, bool json, bool named) const {
    if (json) {
        QJsonObject summary{
            {QStringLiteral("found"), figures.found},
            {QStringLiteral("handed_out"), figures.handedOut},
            {QStringLiteral("pdfs_made"), figures.pdfsMade + figures.emlOnly},
            {QStringLiteral("already_archived"), figures.alreadyArchived},
            {QStringLiteral("emergency_eml"), figures.emergencyEml},
            {QStringLiteral("failed_twice"), figures.failedTwice},
            {QStringLiteral("unreadable"), figures.unreadable},
            {QStringLiteral("not_archived"), figures.notArchived},
            {QStringLiteral("folders_not_read"), figures.foldersNotRead},
            {QStringLiteral("status"), status},
        };
        if (named) {
            summary.insert(QStringLiteral("job"), jobName);
        }
        if (!errorReport.isEmpty()) {
            summary.insert(QStringLiteral("error_report"), errorReport);
        }
        out << QJsonDocument(summary).toJson(QJsonDocument::Compact) << '\n';
        out.flush();
        return;
    }
    if (!errorReport.isEmpty()) {
        out << "errors are listed in " << errorReport << '\n';
    }
    out << line(named) << '\n';
    out.flush();
}

QString JobSummary::line(bool named) const {
    QString text;
    QTextStream out(&text);
    if (named) {
        out << jobName << ": ";
    }
    out << "archived " << archivedCount(figures) << " messages: found " << figures.found
        << ", handed out " << figures.handedOut << ", PDFs made "
        << figures.pdfsMade + figures.emlOnly << ", already archived " << figures.alreadyArchived
        << ", emergency EML " << figures.emergencyEml << ", failed twice " << figures.failedTwice
        << ", unreadable " << figures.unreadable << ", not archived " << figures.notArchived;
    if (figures.foldersNotRead > 0) {
        out << ", folders not read " << figures.foldersNotRead;
    }
    if (status != u"Done") {
        out << "; " << status;
    }
    out.flush();
    return text;
}

QString progressBar(double fraction) {
    constexpr int kWidth = 30;
    const int filled = std::clamp(static_cast<int>(fraction * kWidth), 0, kWidth);
    return u'[' + QString(filled, u'#') + QString(kWidth - filled, u' ') + u']';
}

} // namespace tessaly
