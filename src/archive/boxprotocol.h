#pragma once

#include <QString>

// What the application and its render boxes say to each other: notification names, the keys
// of a box's launch options and of the job file of one render. Both sides use these names
// only, so a box and the application built from the same sources always agree.
namespace tessaly::boxprotocol {

// Notifications (name, object).
inline const QString render = QStringLiteral("rb_render_");   // object: box id
inline const QString donePrefix = QStringLiteral("rb_done_"); // + box id; object: job id
inline const QString quit = QStringLiteral("rb_quit_");       // object: box id
inline const QString quitAll = QStringLiteral("rb_quit_all"); // object: "all"
inline const QString quitAllObject = QStringLiteral("all");
inline const QString anotherPDFMade = QStringLiteral("rb_anotherPDFMade"); // object: job name
inline const QString unwritablePath = QStringLiteral("rb_unwritablePath"); // "path\nerror"

// Launch options, the JSON object after "--jsonArgs".
inline const QString launchBoxId = QStringLiteral("renderboxID");
inline const QString launchBoxFolder = QStringLiteral("renderboxFolder");

// Job file keys, beside the job-options record's own.
inline const QString jobName = QStringLiteral("job_name");
inline const QString mainFolder = QStringLiteral("main_folder");
inline const QString mailFolder = QStringLiteral("mail_folder");
inline const QString emlPath = QStringLiteral("eml_path");
inline const QString attachments = QStringLiteral("pathToAttachments");
inline const QString currentFile = QStringLiteral("current_file");

} // namespace tessaly::boxprotocol
