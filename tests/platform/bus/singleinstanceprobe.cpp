// A later launch in its own process: claims the name and, when another process holds it,
// hands it the files given on the command line. Prints its role and exits.

#include "platform/bus/singleinstance.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString appId = arguments.takeFirst();
    tessaly::SingleInstance instance(appId);
    QTextStream out(stdout);
    switch (instance.claim()) {
    case tessaly::SingleInstance::Role::Primary:
        out << "primary\n";
        return 0;
    case tessaly::SingleInstance::Role::Alone:
        out << "alone " << instance.lastError() << '\n';
        return 1;
    case tessaly::SingleInstance::Role::Secondary:
        break;
    }
    if (!instance.forward(arguments)) {
        out << "unanswered " << instance.lastError() << '\n';
        return 1;
    }
    out << "forwarded\n";
    return 0;
}
