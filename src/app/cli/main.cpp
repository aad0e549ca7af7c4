#include "app/cli/accountcommand.h"
#include "app/cli/archivecommand.h"
#include "app/cli/pathscommand.h"
#include "app/cli/rendercommand.h"
#include "app/cli/runcommand.h"
#include "app/cli/verifycommand.h"
#include "platform/prefs/preferencestore.h"
#include "platform/web/qtwebengine/webenginemessageview.h"
#include "platform/web/qtwebengine/webengineprocess.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTextStream>

#include <cstring>
#include <memory>

namespace {

void printUsage(QTextStream& stream) {
    stream << "usage: tessaly-cli COMMAND [ARGS]\n"
              "\n"
              "commands:\n"
              "  paths [--options FILE] MESSAGE...   show where each message's files would go\n"
              "  render [--options FILE] MESSAGE...  render each message to its PDF here\n"
              "  archive [--dest DIR] [--options FILE] [--json] PATH...\n"
              "                                      archive files, folders and mailboxes\n"
              "  verify DIR                          check an archive's files against its ledger\n"
              "  account add|list|remove|folders|skip|unskip ...\n"
              "                                      the IMAP accounts to archive\n"
              "  run [--dest DIR] [--json] [SOURCE...]\n"
              "                                      archive stored accounts and folder sources\n";
}

} // namespace

int main(int argc, char* argv[]) {
    const bool render = argc > 1 && std::strcmp(argv[1], "render") == 0;
    std::unique_ptr<QCoreApplication> app;
    if (render) {
        // Pages are laid out in an off-screen view: no display needed.
        tessaly::prepareWebEngineProcess(true);
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("tessaly-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TESSALY_VERSION));
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
    if (command == u"archive") {
        return tessaly::runArchiveCommand(arguments, store, out, err);
    }
    if (command == u"account") {
        return tessaly::runAccountCommand(arguments, store, out, err);
    }
    if (command == u"run") {
        return tessaly::runRunCommand(arguments, store, out, err);
    }
    if (command == u"verify") {
        return tessaly::runVerifyCommand(arguments, out, err);
    }
    if (command == u"render") {
        tessaly::WebEngineMessageView view;
        return tessaly::runRenderCommand(arguments, store, view, out, err);
    }
    err << "tessaly-cli: unknown command " << command << '\n';
    printUsage(err);
    return 1;
}
