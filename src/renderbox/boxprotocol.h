#pragma once

#include <QString>

#include <optional>

// What the application and its render boxes say to each other: notification names, the keys
// of a box's launch options and of the job file of one render. Both sides use these names
// only, so a box and the application built from the same sources always agree.
namespace tessaly::boxprotocol {

// Notifications (name, object). Every object is sealed with the launching process's token:
// a box obeys only its own launcher, and a launcher believes only its own boxes, whatever else
// runs on the session bus.
inline const QString render = QStringLiteral("rb_render_");   // object: box id
inline const QString donePrefix = QStringLiteral("rb_done_"); // + box id; object: job id
inline const QString quit = QStringLiteral("rb_quit_");       // object: box id
inline const QString quitAll = QStringLiteral("rb_quit_all"); // object: "all"
inline const QString quitAllObject = QStringLiteral("all");
inline const QString anotherPDFMade = QStringLiteral("rb_anotherPDFMade"); // object: job name
inline const QString unwritablePath = QStringLiteral("rb_unwritablePath"); // "path\nerror"

// This process's token as a launcher of boxes: random, made once, never on a command line.
QString launcherToken();
// The object of a notification, sealed with a token; and its payload when the token is it.
QString sealed(const QString& token, const QString& payload);
std::optional<QString> unsealed(const QString& object, const QString& token);

// The box's own file in its folder (mode 0600), written before it starts: the token.
inline const QString launchFile = QStringLiteral("launch.token");
inline const QString launchToken = QStringLiteral("token");

// A box is the application started with this flag and its launch options, a JSON object.
inline const QString launchFlag = QStringLiteral("--jsonArgs");
inline const QString launchBoxId = QStringLiteral("renderboxID");
inline const QString launchBoxFolder = QStringLiteral("renderboxFolder");

// One render is two files in the box's folder: the message, at the job id, and its job file
// beside it. A box takes the job files it finds.
inline const QString jobFileSuffix = QStringLiteral(".json");
inline const QString jobFilePattern = QStringLiteral("*.json");

// Job file keys, beside the job-options record's own.
inline const QString jobName = QStringLiteral("job_name");
inline const QString mainFolder = QStringLiteral("main_folder");
inline const QString mailFolder = QStringLiteral("mail_folder");
inline const QString emlPath = QStringLiteral("eml_path");
inline const QString attachments = QStringLiteral("pathToAttachments");
inline const QString currentFile = QStringLiteral("current_file");
// The name the message was given: its path, number, and whether a damaged file may go.
inline const QString pdfPath = QStringLiteral("pdf_path");
inline const QString nameNumber = QStringLiteral("name_number");
inline const QString replaceExisting = QStringLiteral("replace_existing");

// The box's answer for one render, "<job id>.result" beside the job file.
inline const QString resultSuffix = QStringLiteral(".result");
inline const QString resultOutcome = QStringLiteral("outcome");
inline const QString resultReason = QStringLiteral("reason");
inline const QString resultPath = QStringLiteral("path");
inline const QString resultFiles = QStringLiteral("files");
inline const QString resultRetry = QStringLiteral("retry"); // the failure deserves a retry
inline const QString fileSize = QStringLiteral("size");
inline const QString fileSha256 = QStringLiteral("sha256");

} // namespace tessaly::boxprotocol
