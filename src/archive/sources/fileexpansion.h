#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <optional>

namespace tessaly {

// Turns the paths of an EML job into the messages it renders: .eml files, .emlx files, and one
// file per message of each mailbox, split into a private folder that mirrors the mailbox's path.
// Mailboxes are read through a memory map and may be larger than 2 GiB.
class FileExpansion {
public:
    // Something that could not be made into a message, and why.
    struct Unreadable {
        QString path;
        QString reason;
    };
    struct Result {
        QStringList emls;
        QStringList emlxs;
        QList<Unreadable> unreadable;
        // Messages found so far, for display while the expansion runs; may be left null.
        std::atomic<int>* runningCount = nullptr;

        void countFound() const {
            if (runningCount) {
                *runningCount = static_cast<int>(emls.size());
            }
        }
    };

    // `splitRoot` is where mailbox messages go (the private runtime folder). `runningCount`,
    // when given, follows the number of messages found.
    static Result explodeFilesAndFolders(const QStringList& paths, const QString& splitRoot,
                                         std::atomic<int>* runningCount = nullptr);
    static void explode(const QString& path, const QString& splitRoot, Result& result);

    static QByteArray cleanUpLineEndings(QByteArrayView data);
    // Repairs broken header lines; nothing for text of fewer than 10 lines.
    static std::optional<QByteArray> fixHeaderLinesInData(const QByteArray& data);
    static constexpr qsizetype kMinLinesToFix = 10;
    // The repair without the minimum: each header line is judged on its own, so the header of
    // a message comes out as the whole message's repair would give it.
    static QByteArray repairHeaderLines(const QByteArray& data);
    // The number of lines, counted up to `enough`.
    static qsizetype lineCountAtLeast(QByteArrayView data, qsizetype enough);
    static std::optional<QByteArray> tryCatchFixHeaderLinesInData(const QByteArray& data);

    // The folder a mailbox's messages are split into.
    static QString mirrorFolder(const QString& mailboxPath, const QString& splitRoot);
    // Splits mailbox bytes (line endings already clean) into files in `folder`; returns the
    // paths written, and the offsets of messages that have no defined start.
    static void splitMailbox(QByteArrayView data, const QString& folder, const QString& mailboxPath,
                             Result& result);
};

} // namespace tessaly
