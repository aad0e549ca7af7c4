#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace tessaly {

// What became of the server's certificate chain: accepted when it verifies against the system's
// authorities for the host name, or when it does not but its first certificate is the one the
// user chose to trust.
struct ImapCertificateCheck {
    bool accepted = false;
    QString reason; // why it does not verify, for a person; empty when it verifies
    QString sha256; // lowercase hex SHA-256 of the server's own certificate
};

// The chain as the server sent it, DER bytes, the server's own certificate first.
ImapCertificateCheck checkImapCertificate(const QList<QByteArray>& derChain,
                                          const QString& hostname, const QString& trustedSha256);

// "ab:cd:…", the way certificate dialogs show a fingerprint.
QString readableFingerprint(const QString& sha256);

} // namespace tessaly
