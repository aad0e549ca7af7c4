#pragma once

#include <QString>

// Where a source's settings are stored: preference keys made of the source key (an account's
// address, a folder source's path) and a suffix, appended with no separator. The names are a
// stored interface: they must never change.
namespace tessaly::accountkeys {

// Lists of sources, in the order they were added.
inline const QString emailAccounts = QStringLiteral("EmailAccounts");
inline const QString folderItems = QStringLiteral("FolderItems");

inline const QString imapSuffix = QStringLiteral("__IMAP");             // server string
inline const QString passwordSuffix = QStringLiteral("__PASS");         // keychain item
inline const QString authSystemSuffix = QStringLiteral("__authSystem"); // sign-in kind
inline const QString oauthKeySuffix = QStringLiteral("__googleOAuthKey");
inline const QString ignoreFoldersSuffix = QStringLiteral("__IgnoreFolders");
// The source's own destination folder, as a path.
inline const QString destinationSuffix = QStringLiteral("__DEST");
// A shell command whose first output line is the password; not a secret itself.
inline const QString passwordCommandSuffix = QStringLiteral("__PassCommand");
// The lowercase hex SHA-256 of the server certificate the user chose to trust.
inline const QString trustedCertificateSuffix = QStringLiteral("__TrustedCertificate");
// When the source's last run ended, not cancelled (a UTC date and time).
inline const QString lastFinishedSuffix = QStringLiteral("__LastFinished");
// The PDFs its last run made, kept while it runs.
inline const QString lastNumDoneSuffix = QStringLiteral("__LastNumDone");

} // namespace tessaly::accountkeys
