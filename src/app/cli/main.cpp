#include "app/cli/accountcommand.h"
#include "app/cli/archivecommand.h"
#include "app/cli/indexcommand.h"
#include "app/cli/pathscommand.h"
#include "app/cli/rendercommand.h"
#include "app/cli/runcommand.h"
#include "app/cli/searchcommand.h"
#include "app/cli/verifycommand.h"
#include "platform/prefs/preferencestore.h"
#include "platform/web/qtwebengine/webenginemessageview.h"
#include "platform/web/qtwebengine/webengineprocess.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct CommandHelp {
    const char* name;
    const char* usage;
    const char* summary;
};

// Each command's own --help: its usage line and what it does, as its README section says.
constexpr CommandHelp kCommands[] = {
    {"paths", "paths [--options FILE] MESSAGE...",
     "Prints where each message's files would go (pdf, eml and attachment paths), one\n"
     "tab-separated line each, and creates nothing. FILE is a JSON object of job options."},
    {"render", "render [--options FILE] MESSAGE...",
     "Renders each message file to its PDF right there, with one layout engine in this\n"
     "process; prints MESSAGE<TAB>made|skipped|eml-only|failed<TAB>PDF and a summary."},
    {"archive", "archive [--dest DIR] [--options FILE] [--json] PATH...",
     "Archives files, folders and mailboxes as one job through render boxes, as files\n"
     "dropped on the application are. Progress on stderr, one summary line (or JSON) on\n"
     "stdout. Exit status 0 when all was archived, 2 when something was not, 1 on misuse."},
    {"verify", "verify DIR",
     "Checks every archive ledger under DIR: each recorded file must still be there with\n"
     "its size and SHA-256. Prints missing/changed files and a summary line."},
    {"index", "index [--rebuild] [ROOT...]",
     "Brings the search index up to date for the folders (the archive roots when none are\n"
     "given): new and changed files are read, files gone are removed; a folder that is not\n"
     "there (not mounted) keeps its files. --rebuild reads everything again. Progress on\n"
     "stderr, then \"indexed N files: added A, updated U, removed R\". Exit status 0 when all\n"
     "was indexed, 2 when a folder was not reachable or the run was interrupted, 1 on error."},
    {"search",
     "search [--subject TEXT] [--address TEXT] [--everywhere TEXT] [--in FOLDER] [--json]\n"
     "                           [--print-query]",
     "Searches the archive as the search view does: subject words in file names, addresses\n"
     "in the PDFs' keywords and authors, and words anywhere, also in the text; case and\n"
     "accents are ignored. Prints one path per line, newest first (--json: one object per\n"
     "line with title, authors, date and kind). When the index finds nothing, the folders\n"
     "are walked by name and tags. --print-query prints the query and searches nothing.\n"
     "Exit status 0 when something was found, 2 when nothing was, 1 on error."},
    {"account",
     "account add ADDRESS [--server HOST[:PORT[:tls|starttls|clear]]]\n"
     "                           [--password-stdin | --password-command CMD]\n"
     "                           [--trust-certificate SHA256]\n"
     "       tessaly-cli account list\n"
     "       tessaly-cli account remove ADDRESS\n"
     "       tessaly-cli account folders ADDRESS\n"
     "       tessaly-cli account skip|unskip ADDRESS FOLDER",
     "The IMAP accounts to archive. An account is saved only once its server has listed its\n"
     "folders; passwords go to the desktop's keyring, or a command that prints the password\n"
     "is stored instead."},
    {"run", "run [--dest DIR] [--json] [SOURCE...]",
     "Archives the stored accounts and folder sources (all of them when none is named), with\n"
     "progress on stderr and one summary line (or JSON object) per job."},
};

void printUsage(QTextStream& stream) {
    stream << "usage: tessaly-cli COMMAND [ARGS]\n"
              "       tessaly-cli COMMAND --help\n"
              "       tessaly-cli --version\n"
              "\n"
              "commands:\n";
    for (const CommandHelp& command : kCommands) {
        stream << "  " << command.usage << '\n';
    }
}

const CommandHelp* findCommand(const QString& name) {
    for (const CommandHelp& command : kCommands) {
        if (name == QLatin1String(command.name)) {
            return &command;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char* argv[]) {
    // A command's help is answered before anything starts (render would start a layout engine).
    if (const CommandHelp* help =
            argc > 2 ? findCommand(QString::fromLocal8Bit(argv[1])) : nullptr) {
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
                std::printf("usage: tessaly-cli %s\n\n%s\n", help->usage, help->summary);
                return 0;
            }
        }
    }
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
    if (arguments.first() == u"--version") {
        out << "tessaly-cli " << QCoreApplication::applicationVersion() << '\n';
        return 0;
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
    if (command == u"search") {
        return tessaly::runSearchCommand(arguments, store, out, err);
    }
    if (command == u"index") {
        return tessaly::runIndexCommand(arguments, store, out, err);
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
