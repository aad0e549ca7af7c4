#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

namespace tessaly {

// Page counts and thumbnails for archived files: QtPdf for PDFs, Qt's image readers for images.
class Previews {
public:
    // Number of pages, or -1 when the file is not a readable PDF.
    static int pdfPageCount(const QString& path);
    static int pdfPageCount(const QByteArray& data);

    // First page of a PDF or an image, scaled to fit `box`, on white, as JPEG or PNG bytes;
    // empty when nothing could be drawn.
    enum class Encoding { Jpeg, Png };
    static QByteArray thumbnailOfPdf(const QByteArray& data, QSize box, Encoding encoding);
    static QByteArray thumbnailOfImage(const QByteArray& data, int longestSide, Encoding encoding);
    // Any file: PDFs by their first page, images as themselves.
    static QByteArray thumbnailOfFile(const QString& path, QSize box, Encoding encoding);
};

} // namespace tessaly
