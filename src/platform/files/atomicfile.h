#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <functional>

namespace tessaly {

// How a write treats a file already at the destination.
enum class ExistingFile {
    Replace,     // readers see the old file or the new one, never a mix
    KeepExisting // the first writer wins, also against another process racing for the path
};

struct [[nodiscard]] WriteOutcome {
    enum class Status { Written, AlreadyExists, Failed };
    Status status = Status::Failed;
    QString error; // set when Failed

    bool written() const { return status == Status::Written; }
};

// Writes through a hidden temporary file in the destination's folder that is synced and then
// renamed into place, so a crash never leaves a partial file under the final name.
WriteOutcome writeFileAtomically(const QString& path, QByteArrayView data, ExistingFile mode);
// The same; `prepare` is called with the temporary file's path before it takes its final name
// (to give it its attributes), so the file appears complete or not at all.
WriteOutcome writeFileAtomically(const QString& path, QByteArrayView data, ExistingFile mode,
                                 const std::function<void(const QString& file)>& prepare);
// The same, for a file in transit that only its owner may read (job files, messages handed to
// a render box or split out of a mailbox): not synced, as it does not outlive its job.
WriteOutcome writePrivateFileAtomically(const QString& path, QByteArrayView data);

// Whether the file at the path holds exactly these bytes (an earlier copy of the same thing).
bool fileHoldsBytes(const QString& path, const QByteArray& data);

// Linux keeps no settable creation time; the modification time is what file managers show.
[[nodiscard]] bool setFileModificationTime(const QString& path, const QDateTime& time);

} // namespace tessaly
