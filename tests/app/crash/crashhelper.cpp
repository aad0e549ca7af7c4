// Installs the crash reporter as the application does (consent read from the preferences
// file given) and then fails in the way asked for:
//   crashhelper PREFERENCES app|box [withdrawn-]segv|overflow|exception
// Prints "installed" once the handlers are in place, so the test knows a missing report is
// the reporter's doing.

#include "app/crashreporter.h"
#include "platform/prefs/preferencestore.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

extern "C" __attribute__((noinline)) void crashhelper_touchForbiddenPage() {
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        std::perror("mmap");
        _exit(4);
    }
    *static_cast<volatile int*>(page) = 1;
}

extern "C" __attribute__((noinline)) void crashhelper_throwUncaught() {
    throw std::runtime_error("the helper's deliberate failure");
}

namespace {

volatile int g_never = -1;

__attribute__((noinline)) int overflowStack(int depth) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    if (depth == g_never) {
        return 0;
    }
    return overflowStack(depth + 1) + frame[0];
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fputs("usage: crashhelper PREFERENCES app|box segv|overflow|exception\n", stderr);
        return 2;
    }
    const bool box = std::strcmp(argv[2], "box") == 0;
    tessaly::PreferenceStore store(QString::fromLocal8Bit(argv[1]));
    const tessaly::CrashReporter::Setup setup{
        tessaly::CrashReporter::defaultFolder(), QStringLiteral("9.9-test"),
        box ? tessaly::CrashReporter::Role::RenderBox : tessaly::CrashReporter::Role::Application};
    QString error;
    if (!tessaly::CrashReporter::installIfAllowed(store, setup, &error)) {
        std::fprintf(stderr, "crashhelper: %s\n", qPrintable(error));
        return 3;
    }
    std::printf("%s\n", tessaly::CrashReporter::isInstalled() ? "installed" : "not installed");
    std::fflush(stdout);
    // No core files from deliberate crashes.
    prctl(PR_SET_DUMPABLE, 0);

    const char* mode = argv[3];
    // Consent taken back while running (the settings' check box).
    if (std::strncmp(mode, "withdrawn-", 10) == 0) {
        tessaly::CrashReporter::withdraw();
        mode += 10;
    }
    if (std::strcmp(mode, "segv") == 0) {
        crashhelper_touchForbiddenPage();
    } else if (std::strcmp(mode, "overflow") == 0) {
        return overflowStack(0);
    } else if (std::strcmp(mode, "exception") == 0) {
        crashhelper_throwUncaught();
    }
    return 2;
}
