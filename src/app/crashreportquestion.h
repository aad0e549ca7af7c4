#pragma once

#include "app/crashreporter.h"

class QMessageBox;
class QWidget;

namespace tessaly {

class PreferenceStore;

// Asks whether crashes may be reported, window-modal on `parent`, and records the answer when
// it comes; "Yes" also starts reporting with `setup`. Ask only when shouldAskAboutCrashReports
// says so. The box deletes itself when answered.
QMessageBox* showCrashReportQuestion(QWidget* parent, PreferenceStore& store,
                                     const CrashReporter::Setup& setup);

} // namespace tessaly
