#include "app/launchmode.h"
#include "app/mainwindow.h"
#include "archive/boxprotocol.h"
#include "archive/renderbox.h"
#include "platform/bus/notificationcenter.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/web/qtwebengine/webenginemessageview.h"
#include "platform/web/qtwebengine/webengineprocess.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

namespace {

// A render box: renders what its job files say and nothing else. It shows no window, reads no
// preferences, and ends when told to or when left without work.
int runRenderBox(int argc, char* argv[], const tessaly::LaunchMode& mode) {
    tessaly::prepareWebEngineProcess(true);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaly"));
    QApplication::setApplicationVersion(QStringLiteral(TESSALY_VERSION));
    tessaly::NotificationCenter* center = tessaly::NotificationCenter::distributed();
    if (!center->isConnected()) {
        std::fprintf(stderr, "tessaly: a render box needs the D-Bus session bus: %s\n",
                     qPrintable(center->connectionError()));
        return 1;
    }
    tessaly::RenderBox box(mode.renderBoxOptions, center,
                           [] { return std::make_unique<tessaly::WebEngineMessageView>(); });
    if (!box.startListeningAsRenderbox()) {
        std::fputs("tessaly: render box started without an id and folder; nothing to do\n", stderr);
        return 1;
    }
    QObject::connect(&box, &tessaly::RenderBox::quitRequested, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    return app.exec();
}

} // namespace

int main(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const tessaly::LaunchMode mode = tessaly::LaunchMode::fromArguments(arguments);
    if (mode.renderBox) {
        return runRenderBox(argc, argv, mode);
    }
    // Answered before any window system is touched: they work without a display.
    if (arguments.contains(QStringLiteral("--version"))) {
        std::printf("tessaly %s\n", TESSALY_VERSION);
        return 0;
    }
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        std::printf("usage: tessaly [--help] [--version]\n"
                    "\n"
                    "Opens Tessaly, which archives e-mail as PDF files with their metadata, an\n"
                    "optional .eml copy and their attachments. Without a display, use\n"
                    "tessaly-cli (see tessaly-cli --help).\n");
        return 0;
    }

    tessaly::prepareWebEngineProcess(false);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaly"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tessaly"));
    QApplication::setApplicationVersion(QStringLiteral(TESSALY_VERSION));
    // Ties the windows to the launcher entry (its icon in the dock, its name in the switcher).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.tessaly.Tessaly"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.tessaly.Tessaly")));

    tessaly::PreferenceStore store(tessaly::PreferenceStore::userFilePath());
    store.registerStandardDefaults();
    store.setValue(tessaly::prefkeys::launchCount,
                   store.integerValue(tessaly::prefkeys::launchCount) + 1);

    tessaly::MainWindow window;
    window.show();
    const int status = app.exec();
    // Every render box this application started ends with it; boxes of other processes (a
    // command-line run beside it) do not hear this.
    tessaly::NotificationCenter::distributed()->post(
        tessaly::boxprotocol::quitAll,
        tessaly::boxprotocol::sealed(tessaly::boxprotocol::launcherToken(),
                                     tessaly::boxprotocol::quitAllObject));
    return status;
}
