#include "archive/ledger/messageidentity.h"

#include <QCryptographicHash>

namespace tessaly {

namespace {

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

std::optional<QString> MessageIdentity::fromHeader(const MCOMessageHeader& header) {
    const QString id = header.extraHeaderValueForName(u"Message-ID").value_or(QString()).trimmed();
    if (id.isEmpty()) {
        return std::nullopt;
    }
    // The date as repaired (the path uses the same), to the second; the sender's address
    // without case; the subject as decoded.
    const QString date =
        header.date() ? QString::number(header.date()->toSecsSinceEpoch()) : QStringLiteral("-");
    const QString from = header.from() ? header.from()->mailbox.toLower() : QString();
    QByteArray fields = "mid\n";
    for (const QString& field : {id, date, from, header.subject()}) {
        fields += field.toUtf8();
        fields += '\0';
    }
    return hex(fields);
}

QString MessageIdentity::of(const MCOMessageHeader& header, const QByteArray& data) {
    if (std::optional<QString> identity = fromHeader(header)) {
        return *identity;
    }
    return ofBytes(data);
}

QString MessageIdentity::ofBytes(const QByteArray& data) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView("raw\n"));
    hash.addData(data);
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace tessaly
