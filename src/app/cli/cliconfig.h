#pragma once

#include "render/joboptions.h"

#include <QString>
#include <QStringList>
#include <QTextStream>

namespace tessaly {

class PreferenceStore;

// A job described for the command line: job options plus the folders a job driver would pass.
struct CliJob {
    JobOptions options;
    QString mainFolder;
    QString mailFolder;
};

// Reads an options file (a JSON object of job-option keys plus optional "main_folder" and
// "mail_folder"); keys it lacks take the stored general settings and the defaults. An empty
// path reads no file. On failure returns false with a reason.
bool loadCliJob(const QString& optionsPath, const PreferenceStore& store, CliJob& job,
                QString& error);

// Reads "[--options FILE] MESSAGE..." and the options file: what `paths` and `render` take.
// On failure prints the reason (or the usage) for `command` and returns false.
bool parseMessageCommand(const QString& command, const QStringList& arguments,
                         const PreferenceStore& store, CliJob& job, QStringList& messages,
                         QTextStream& err);

} // namespace tessaly
