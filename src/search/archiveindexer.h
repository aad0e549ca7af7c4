#pragma once

#include "search/archiveindex.h"

#include <QFileInfo>
#include <QString>

#include <optional>

namespace tessaly {

// Reads what the index keeps of one archive file: its kind, the PDF's document attributes and
// text, and its tags. Stateless and safe on any thread (QtPdf serialises its own use).
class ArchiveIndexer {
public:
    // Text is read from the first pages only, and cut at a size: enough to find a message by
    // words of its body (which comes first), without reading a 300-page attachment whole.
    static constexpr int kMaxTextPages = 20;
    static constexpr qsizetype kMaxTextChars = 256 * 1024;

    // The path of a file below `root`, relative to it.
    static QString relativePath(const QString& path, const QString& root);
    // Whether a file below a root belongs in the index: not hidden, not inside a hidden folder
    // (the archive ledger's ".tessaly" among them). `relativePath` is relative to the root.
    static bool isIndexed(const QString& relativePath);
    // "pdf" and "eml" for a message's own files; "attachment" for files inside an attachment
    // folder and for every other file of the archive.
    static QString kindOf(const QString& relativePath);

    // The record of the file; a file that cannot be read as a PDF keeps its name and kind only.
    // `knownText` is the file's text when the caller has it already (a message being
    // archived): the PDF's pages are then not read for it.
    static IndexedFile read(const QFileInfo& file, const QString& root,
                            const std::optional<QString>& knownText = std::nullopt);

    // A PDF date ("D:20140118081620Z", "D:20140118091620+01'00'", shorter forms) as seconds
    // since 1970 UTC; nothing when it is not one.
    static std::optional<qint64> pdfDateSeconds(const QString& text);
    // The text of the first pages, capped as above; empty when the file is no readable PDF.
    static QString pdfText(const QString& path);
    // The modification time the index compares, in nanoseconds.
    static qint64 modificationNs(const QFileInfo& file);
};

} // namespace tessaly
