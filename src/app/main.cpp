#include "app/crashreporter.h"
#include "app/launchmode.h"
#include "app/tessalyapp.h"
#include "platform/bus/notificationcenter.h"
#include "platform/bus/singleinstance.h"
#include "platform/files/runtimefolder.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"
#include "platform/web/qtwebengine/webenginemessageview.h"
#include "platform/web/qtwebengine/webengineprocess.h"
#include "renderbox/boxprotocol.h"
#include "renderbox/renderbox.h"
#include "settings/fxkeychain.h"

#include <QApplication>
#include <QFileInfo>
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
    {
        // Consent is the user's, given in the application; a box only reads it.
        const tessaly::PreferenceStore store(tessaly::PreferenceStore::userFilePath());
        QString error;
        if (!tessaly::CrashReporter::installIfAllowed(store,
                                                      {tessaly::CrashReporter::defaultFolder(),
                                                       QStringLiteral(TESSALY_VERSION),
                                                       tessaly::CrashReporter::Role::RenderBox},
                                                      &error)) {
            std::fprintf(stderr, "tessaly: crash reports cannot be written: %s\n",
                         qPrintable(error));
        }
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
        std::printf("usage: tessaly [--help] [--version] [--quit] [FILE...]\n"
                    "\n"
                    "Opens Tessaly, which archives e-mail as PDF files with their metadata, an\n"
                    "optional .eml copy and their attachments. FILEs (.eml, .mbox, or folders\n"
                    "of them) are archived once, into a folder Tessaly asks for; when Tessaly\n"
                    "is running already, it gets them and this command ends at once.\n"
                    "--quit ends the running Tessaly, which tells its render boxes to quit.\n"
                    "Without a display, use tessaly-cli (see tessaly-cli --help).\n");
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

    // What is left once Qt has taken its own options: files to archive.
    QStringList files;
    bool quitRunning = false;
    const QStringList rest = QCoreApplication::arguments().mid(1);
    for (const QString& argument : rest) {
        if (argument == QStringLiteral("--quit")) {
            quitRunning = true;
            continue;
        }
        if (argument.startsWith(u'-')) {
            std::fprintf(stderr, "tessaly: unknown option %s (see tessaly --help)\n",
                         qPrintable(argument));
            return 1;
        }
        const QFileInfo info(argument);
        if (!info.exists()) {
            std::fprintf(stderr, "tessaly: %s: no such file or folder\n", qPrintable(argument));
            continue;
        }
        // The running instance may have another working folder.
        files.append(info.absoluteFilePath());
    }

    tessaly::SingleInstance instance(QStringLiteral("org.tessaly.Tessaly"));
    const tessaly::SingleInstance::Role role = instance.claim();
    if (quitRunning) {
        // Nothing to do when no Tessaly runs.
        if (role == tessaly::SingleInstance::Role::Secondary &&
            !instance.forwardAction(QStringLiteral("quit"))) {
            std::fprintf(stderr, "tessaly: the running Tessaly did not answer: %s\n",
                         qPrintable(instance.lastError()));
            return 1;
        }
        return 0;
    }
    switch (role) {
    case tessaly::SingleInstance::Role::Secondary:
        if (!instance.forward(files)) {
            std::fprintf(stderr, "tessaly: the running Tessaly did not answer: %s\n",
                         qPrintable(instance.lastError()));
            return 1;
        }
        return 0;
    case tessaly::SingleInstance::Role::Alone:
        std::fprintf(stderr, "tessaly: %s; running without the desktop's application bus\n",
                     qPrintable(instance.lastError()));
        break;
    case tessaly::SingleInstance::Role::Primary:
        break;
    }

    QString error;
    const QString runtime = tessaly::privateRuntimeFolder(&error);
    if (runtime.isEmpty()) {
        std::fprintf(stderr, "tessaly: %s\n", qPrintable(error));
        return 1;
    }

    tessaly::PreferenceStore store(tessaly::PreferenceStore::userFilePath());
    store.registerStandardDefaults();
    store.setValue(tessaly::prefkeys::launchCount,
                   store.integerValue(tessaly::prefkeys::launchCount) + 1);

    if (!tessaly::CrashReporter::installIfAllowed(store,
                                                  {tessaly::CrashReporter::defaultFolder(),
                                                   QStringLiteral(TESSALY_VERSION),
                                                   tessaly::CrashReporter::Role::Application},
                                                  &error)) {
        std::fprintf(stderr, "tessaly: crash reports cannot be written: %s\n", qPrintable(error));
    }

    int status = 0;
    {
        tessaly::TessalyApp tessalyApp(store, tessaly::FXKeychain::defaultKeychain(), runtime);
        QObject::connect(&instance, &tessaly::SingleInstance::activated, &tessalyApp,
                         &tessaly::TessalyApp::activate);
        QObject::connect(&instance, &tessaly::SingleInstance::openRequested, &tessalyApp,
                         &tessaly::TessalyApp::handleEMLFilesUI);
        QObject::connect(&instance, &tessaly::SingleInstance::actionRequested, &app,
                         [](const QString& action) {
                             if (action == QStringLiteral("quit")) {
                                 QCoreApplication::quit();
                             }
                         });
        tessalyApp.launch();
        if (!files.isEmpty()) {
            tessalyApp.handleEMLFilesUI(files);
        }
        status = app.exec();
        // Every render box this application started ends with it; boxes of other processes
        // (a command-line run beside it) do not hear this.
        tessaly::NotificationCenter::distributed()->post(
            tessaly::boxprotocol::quitAll,
            tessaly::boxprotocol::sealed(tessaly::boxprotocol::launcherToken(),
                                         tessaly::boxprotocol::quitAllObject));
    }
    if (!store.sync()) {
        std::fprintf(stderr, "tessaly: the preferences could not be saved to %s\n",
                     qPrintable(store.filePath()));
    }
    return status;
}
