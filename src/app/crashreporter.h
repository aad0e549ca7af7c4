#pragma once

#include <QString>

namespace tessaly {

class PreferenceStore;

// Crash reports that stay on this machine. With the user's consent, a fatal signal or an
// uncaught exception writes one plain-text report into a private folder and the process then
// dies as it would have (by the same signal), so whoever started it sees the real cause.
class CrashReporter {
public:
    enum class Role { Application, RenderBox };
    struct Setup {
        QString folder; // where reports go; made (mode 0700) by install
        QString version;
        Role role = Role::Application;
    };

    // $XDG_STATE_HOME/tessaly/crashes, or ~/.local/state/tessaly/crashes.
    static QString defaultFolder();

    // Installs the handlers when the user allowed crash reports, else does nothing; false with
    // the reason when allowed but the folder cannot be made.
    [[nodiscard]] static bool installIfAllowed(const PreferenceStore& store, const Setup& setup,
                                               QString* error);
    // Installs the handlers for this process; a second call only changes the folder and the
    // facts a report holds.
    [[nodiscard]] static bool install(const Setup& setup, QString* error);
    static bool isInstalled();
    // Consent taken back: crashes from now on write nothing (the process still dies by its
    // signal). install() starts writing again.
    static void withdraw();
};

// The crash-report question: asked in the main application only, from its third launch on,
// and never again once answered (or once reports are allowed some other way).
bool shouldAskAboutCrashReports(const PreferenceStore& store, bool renderBox);
void recordCrashReportAnswer(PreferenceStore& store, bool allowed);

} // namespace tessaly
