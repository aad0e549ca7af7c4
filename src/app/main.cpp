#include "launchmode.h"
#include "mainwindow.h"
#include "preferencekeys.h"
#include "preferencestore.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const tessaly::LaunchMode mode = tessaly::LaunchMode::fromArguments(arguments);
    if (mode.renderBox) {
        // A render box never shows a window and never touches the user's preferences.
        std::fputs("tessaly: this build has no render box yet\n", stderr);
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaly"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tessaly"));
    QApplication::setApplicationVersion(QStringLiteral(TESSALY_VERSION));

    tessaly::PreferenceStore store(tessaly::PreferenceStore::userFilePath());
    store.registerStandardDefaults();
    store.setValue(tessaly::prefkeys::launchCount,
                   store.integerValue(tessaly::prefkeys::launchCount) + 1);

    tessaly::MainWindow window;
    window.show();
    return app.exec();
}
