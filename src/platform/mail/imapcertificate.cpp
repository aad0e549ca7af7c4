#include "platform/mail/imapcertificate.h"

#include <QCryptographicHash>
#include <QSslCertificate>
#include <QSslError>
#include <QStringList>

namespace tessaly {

namespace {

// Tolerates what a person pasting a fingerprint brings along: upper case and colons.
QString normalisedFingerprint(const QString& sha256) {
    QString out = sha256.trimmed().toLower();
    out.remove(QLatin1Char(':'));
    return out;
}

} // namespace

ImapCertificateCheck checkImapCertificate(const QList<QByteArray>& derChain,
                                          const QString& hostname, const QString& trustedSha256) {
    ImapCertificateCheck check;
    QList<QSslCertificate> chain;
    for (const QByteArray& der : derChain) {
        QSslCertificate certificate(der, QSsl::Der);
        if (certificate.isNull()) {
            check.reason = QStringLiteral("the server sent a certificate that cannot be read");
            break;
        }
        chain.append(certificate);
    }
    if (chain.isEmpty() && check.reason.isEmpty())
        check.reason = QStringLiteral("the server sent no certificate");
    if (!derChain.isEmpty()) {
        check.sha256 = QString::fromLatin1(
            QCryptographicHash::hash(derChain.first(), QCryptographicHash::Sha256).toHex());
    }
    if (check.reason.isEmpty()) {
        const QList<QSslError> errors = QSslCertificate::verify(chain, hostname);
        if (errors.isEmpty()) {
            check.accepted = true;
            return check;
        }
        QStringList reasons;
        for (const QSslError& error : errors) {
            const QString text = error.errorString();
            if (!reasons.contains(text))
                reasons.append(text);
        }
        check.reason = reasons.join(QStringLiteral("; "));
    }
    const QString trusted = normalisedFingerprint(trustedSha256);
    check.accepted = !trusted.isEmpty() && !check.sha256.isEmpty() && trusted == check.sha256;
    return check;
}

QString readableFingerprint(const QString& sha256) {
    QString out;
    out.reserve(sha256.size() * 3 / 2);
    for (qsizetype i = 0; i < sha256.size(); i += 2) {
        if (i > 0)
            out.append(QLatin1Char(':'));
        out.append(sha256.mid(i, 2));
    }
    return out;
}

} // namespace tessaly
