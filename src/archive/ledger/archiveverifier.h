#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace tessaly {

// Checks an archive against its ledgers: every file the ledgers record must still be there,
// with the size and SHA-256 it was written with.
class ArchiveVerifier {
public:
    enum class Problem { Missing, Changed };
    struct Summary {
        int ledgers = 0;
        int messages = 0;
        int files = 0;
        int missing = 0;
        int changed = 0;
        QStringList errors; // ledgers that could not be read
        bool whole() const { return missing == 0 && changed == 0 && errors.isEmpty(); }
    };
    using ProblemSink = std::function<void(Problem problem, const QString& path)>;

    // The ledgers in the folder tree under `folder` (an archive, or a folder of archives).
    static QStringList findLedgers(const QString& folder);
    // Checks every ledger under `folder`, telling `sink` of each file that does not hold.
    static Summary verify(const QString& folder, const ProblemSink& sink);
};

} // namespace tessaly
