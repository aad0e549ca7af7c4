#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QVariant>

#include <functional>
#include <optional>

namespace tessaly {

// The document attributes of a PDF (its Info dictionary), read and written with qpdf.
class PdfInfo {
public:
    // Text values of the Info dictionary ("Title", "Keywords", ...); dates as their raw text.
    // Returns false with a reason when the file is not a readable PDF.
    [[nodiscard]] static bool read(const QString& path, QMap<QString, QString>& attributes,
                                   QString* error);

    // Sets the given attributes (QString or QDateTime values; others keep their values) and
    // replaces the file atomically with the result, so a failure leaves it as it was.
    [[nodiscard]] static bool write(const QString& path, const QMap<QString, QVariant>& attributes,
                                    QString* error);

    // Reads the text attributes and sets what `change` makes of them, in one pass over the file.
    using Change = std::function<QMap<QString, QVariant>(const QMap<QString, QString>& current)>;
    [[nodiscard]] static bool update(const QString& path, const Change& change, QString* error);
    // The same on a document in memory: the changed document, or nothing with a reason.
    [[nodiscard]] static std::optional<QByteArray> updated(const QByteArray& document,
                                                           const Change& change, QString* error);

    // "D:YYYYMMDDHHmmSSZ" in UTC.
    static QString pdfDate(const QDateTime& date);
};

} // namespace tessaly
