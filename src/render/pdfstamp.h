#pragma once

#include "platform/mail/mcomessageheader.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

namespace tessaly {

// The document attributes a finished PDF carries so the archive can be searched.
class PdfStamp {
public:
    // Every address of From, To, Cc and Bcc, once each by lower-case form.
    static QStringList emailAddressesForMessage(const MCOMessageHeader& header);
    // Both lists lower-cased, each string once.
    static QStringList combineArraysSkipDuplicatesLowercase(const QStringList& one,
                                                            const QStringList& two);
    // The attributes to set: Keywords (the addresses merged with the document's own, as one
    // comma-separated text since viewers don't read an array there), Author, Title, Subject,
    // Creator, CreationDate (when the message has a date), ModDate.
    static QMap<QString, QVariant> pdfDictWithKeywords(const MCOMessageHeader& header,
                                                       const std::optional<QDateTime>& messageDate,
                                                       const QString& existingKeywords,
                                                       const QDateTime& now);
    // The printed document with its attributes, before it is written; nothing when it cannot
    // be read as a PDF.
    [[nodiscard]] static std::optional<QByteArray>
    stamped(const QByteArray& pdf, const MCOMessageHeader& header,
            const std::optional<QDateTime>& messageDate);
    // Stamps the file in place; on failure the file stays as printed. Returns whether it worked.
    [[nodiscard]] static bool addEmailsAsKeywords(const QString& path,
                                                  const MCOMessageHeader& header,
                                                  const std::optional<QDateTime>& messageDate);

    static QString creator();
};

} // namespace tessaly
