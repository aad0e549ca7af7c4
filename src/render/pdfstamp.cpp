#include "render/pdfstamp.h"

#include "platform/pdf/pdfinfo.h"
#include "render/renderlog.h"

#include <QCoreApplication>
#include <QSet>

namespace tessaly {

namespace {
const QString kBundleIdentifier = QStringLiteral("org.tessaly.Tessaly");
} // namespace

QString PdfStamp::creator() {
    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty()) {
        version = QStringLiteral(TESSALY_VERSION);
    }
    return kBundleIdentifier + QStringLiteral("  version:") + version;
}

QStringList PdfStamp::emailAddressesForMessage(const MCOMessageHeader& header) {
    QStringList all;
    if (header.from() && !header.from()->mailbox.isEmpty()) {
        all.append(header.from()->mailbox);
    }
    for (const MCOAddressList* list : {&header.to(), &header.cc(), &header.bcc()}) {
        for (const MCOAddress& address : *list) {
            if (!address.mailbox.isEmpty()) {
                all.append(address.mailbox);
            }
        }
    }
    return combineArraysSkipDuplicatesLowercase(all, {});
}

QStringList PdfStamp::combineArraysSkipDuplicatesLowercase(const QStringList& one,
                                                           const QStringList& two) {
    QStringList out;
    QSet<QString> seen;
    for (const QStringList* list : {&one, &two}) {
        for (const QString& item : *list) {
            const QString lower = item.toLower();
            if (!seen.contains(lower)) {
                seen.insert(lower);
                out.append(lower);
            }
        }
    }
    return out;
}

QMap<QString, QVariant> PdfStamp::pdfDictWithKeywords(const MCOMessageHeader& header,
                                                      const std::optional<QDateTime>& messageDate,
                                                      const QString& existingKeywords,
                                                      const QDateTime& now) {
    QStringList existing;
    for (const QString& keyword : existingKeywords.split(u',', Qt::SkipEmptyParts)) {
        if (!keyword.trimmed().isEmpty()) {
            existing.append(keyword.trimmed());
        }
    }
    QMap<QString, QVariant> attributes;
    attributes.insert(QStringLiteral("Keywords"), combineArraysSkipDuplicatesLowercase(
                                                      emailAddressesForMessage(header), existing)
                                                      .join(QStringLiteral(", ")));
    if (header.from() && !header.from()->mailbox.isEmpty()) {
        attributes.insert(QStringLiteral("Author"), header.from()->mailbox);
    }
    if (!header.subject().isEmpty()) {
        attributes.insert(QStringLiteral("Title"), header.subject());
        attributes.insert(QStringLiteral("Subject"), header.subject());
    }
    attributes.insert(QStringLiteral("Creator"), creator());
    if (messageDate && messageDate->isValid()) {
        attributes.insert(QStringLiteral("CreationDate"), *messageDate);
    }
    attributes.insert(QStringLiteral("ModDate"), now);
    return attributes;
}

namespace {

// The document's attributes as the message gives them, its own keywords kept.
PdfInfo::Change keywordChange(const MCOMessageHeader& header,
                              const std::optional<QDateTime>& messageDate) {
    return [&header, messageDate](const QMap<QString, QString>& current) {
        return PdfStamp::pdfDictWithKeywords(header, messageDate,
                                             current.value(QStringLiteral("Keywords")),
                                             QDateTime::currentDateTimeUtc());
    };
}

} // namespace

std::optional<QByteArray> PdfStamp::stamped(const QByteArray& pdf, const MCOMessageHeader& header,
                                            const std::optional<QDateTime>& messageDate) {
    QString error;
    std::optional<QByteArray> result =
        PdfInfo::updated(pdf, keywordChange(header, messageDate), &error);
    if (!result) {
        qCWarning(lcRender).noquote() << "adding keywords did not work:" << error;
    }
    return result;
}

bool PdfStamp::addEmailsAsKeywords(const QString& path, const MCOMessageHeader& header,
                                   const std::optional<QDateTime>& messageDate) {
    QString error;
    const bool stamped = PdfInfo::update(path, keywordChange(header, messageDate), &error);
    if (!stamped) {
        qCWarning(lcRender).noquote()
            << "adding keywords did not work, even after trying to delete the file first:" << error
            << ", into" << path;
        return false;
    }
    return true;
}

} // namespace tessaly
