#pragma once

// Shared by the index tests: a PDF with document attributes, and a look into an index file.

#include "platform/pdf/pdfinfo.h"
#include "search/archiveindex.h"

#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QPdfWriter>
#include <QtTest>

namespace tessaly::test {

// A one-page PDF saying `body`, with the document attributes given (Title, Author, ...).
inline void writeAttributedPdf(const QString& path, const QString& body,
                               const QMap<QString, QVariant>& attributes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        QPdfWriter writer(path);
        QPainter painter(&writer);
        painter.drawText(200, 200, body);
    }
    QString error;
    if (!PdfInfo::write(path, attributes, &error)) {
        qFatal("cannot write %s: %s", qPrintable(path), qPrintable(error));
    }
}

// The rows a read of the index file gives; none, with a warning, when it cannot be read.
inline std::vector<SqliteDatabase::Row> indexRows(const QString& indexPath, const QString& sql,
                                                  const QVariantList& parameters = {}) {
    QString error;
    auto index = ArchiveIndex::open(indexPath, &error);
    std::vector<SqliteDatabase::Row> result;
    if (!index || !index->query(sql, parameters, &result)) {
        qWarning() << error << (index ? index->lastError() : QString());
    }
    return result;
}

} // namespace tessaly::test
