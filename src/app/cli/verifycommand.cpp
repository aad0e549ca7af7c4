#include "app/cli/verifycommand.h"

#include "archive/ledger/archiveverifier.h"

#include <QDir>
#include <QFileInfo>

namespace tessaly {

int runVerifyCommand(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    if (arguments.size() != 1 || arguments.first().startsWith(u"--")) {
        err << "usage: tessaly-cli verify DIR\n";
        return 1;
    }
    const QString folder = QDir(arguments.first()).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        err << "tessaly-cli verify: " << arguments.first() << " is not a folder\n";
        return 1;
    }
    if (ArchiveVerifier::findLedgers(folder).isEmpty()) {
        err << "tessaly-cli verify: no archive ledger under " << folder
            << " (an archive made by Tessaly keeps one in its .tessaly folder)\n";
        return 1;
    }
    const ArchiveVerifier::Summary summary = ArchiveVerifier::verify(
        folder, [&out](ArchiveVerifier::Problem problem, const QString& path) {
            out << (problem == ArchiveVerifier::Problem::Missing ? "missing" : "changed") << '\t'
                << path << '\n';
        });
    for (const QString& error : summary.errors) {
        err << "tessaly-cli verify: cannot read " << error << '\n';
    }
    out << "verified " << summary.files << " files of " << summary.messages << " messages: missing "
        << summary.missing << ", changed " << summary.changed << '\n';
    out.flush();
    if (!summary.errors.isEmpty() && summary.ledgers == 0) {
        return 1;
    }
    return summary.whole() ? 0 : 2;
}

} // namespace tessaly
