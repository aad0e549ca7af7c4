#pragma once

#include "platform/prefs/urlbookmarkinprefs.h"
#include "render/joboptions.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace tessaly {

class EmailSettings;
class PreferenceStore;

// Makes the options record of a job, whatever its source: dropped files, a folder source or
// an account. What every job shares (the destination, the path formats stored for its name,
// the general settings) is decided in one place. A job that cannot be made gets nothing, and
// the reason.
class JobOptionsBuilder {
public:
    // The general destination folder, or empty when none is known.
    using DestinationProvider = std::function<QString()>;

    JobOptionsBuilder(PreferenceStore& store, DestinationProvider destination)
        : m_store(store)
        , m_destination(std::move(destination)) {}

    // Where accounts are read from; without it, no account's options can be made.
    void setAccounts(const EmailSettings* accounts) { m_accounts = accounts; }

    // Files, folders and mailboxes archived into `destFolder` (the job's override, or empty),
    // with the path formats stored for `jobName`.
    std::optional<JobOptions> files(const QStringList& paths, const QString& destFolder,
                                    const QString& jobName, QString* why) const;
    // An account's job; `password` is what it signs in with (from the keychain or a password
    // command).
    std::optional<JobOptions> account(const QString& address, const QString& destinationOverride,
                                      const QString& password, QString* why) const;

    // Why a job must not write into `general` (the stored general destination, not there
    // now), or "" when it may.
    QString generalDestinationProblem(const QString& general) const;

private:
    // What every job shares, for the formats stored under `formatsKey`; nothing without a
    // general destination.
    std::optional<JobOptions> shared(const QString& formatsKey, QString* why) const;

    PreferenceStore& m_store;
    DestinationProvider m_destination;
    const EmailSettings* m_accounts = nullptr;
};

// Why nothing is written into a stored folder that is not there now (an unmounted drive):
// the files would land on the wrong disk, or, with the choice forgotten, quietly somewhere
// else.
QString destinationNotReachable(const FolderLookup& folder);

} // namespace tessaly
