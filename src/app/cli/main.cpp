#include "pathscommand.h"
#include "preferencestore.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

namespace {

void printUsage(QTextStream& stream) {
    stream << "usage: tessaly-cli COMMAND [ARGS]\n"
              "\n"
              "commands:\n"
              "  paths [--options FILE] MESSAGE...   show where each message's files would go\n";
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessaly-cli"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty() || arguments.first() == u"--help" || arguments.first() == u"-h") {
        printUsage(arguments.isEmpty() ? err : out);
        return arguments.isEmpty() ? 1 : 0;
    }
    const QString command = arguments.takeFirst();

    tessaly::PreferenceStore store(tessaly::PreferenceStore::userFilePath());
    store.registerStandardDefaults();

    if (command == u"paths") {
        return tessaly::runPathsCommand(arguments, store, out, err);
    }
    err << "tessaly-cli: unknown command " << command << '\n';
    printUsage(err);
    return 1;
}
