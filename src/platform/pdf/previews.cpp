#include "platform/pdf/previews.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPdfDocument>

namespace tessaly {

namespace {

QByteArray encode(const QImage& image, Previews::Encoding encoding) {
    if (image.isNull()) {
        return {};
    }
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    const bool ok = encoding == Previews::Encoding::Jpeg ? image.save(&buffer, "JPEG", 85)
                                                         : image.save(&buffer, "PNG");
    return ok ? out : QByteArray();
}

// JPEG has no transparency: what QtPdf leaves transparent must become white paper.
QImage onWhite(const QImage& image) {
    QImage paper(image.size(), QImage::Format_RGB32);
    paper.fill(Qt::white);
    QPainter painter(&paper);
    painter.drawImage(0, 0, image);
    return paper;
}

bool looksLikePdf(const QByteArray& data) {
    return data.startsWith("%PDF");
}

} // namespace

int Previews::pdfPageCount(const QByteArray& data) {
    QByteArray copy = data;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QPdfDocument document;
    document.load(&buffer);
    const bool ready = document.status() == QPdfDocument::Status::Ready;
    const int pages = ready ? document.pageCount() : -1;
    document.close();
    return pages;
}

int Previews::pdfPageCount(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return pdfPageCount(file.readAll());
}

QByteArray Previews::thumbnailOfPdf(const QByteArray& data, QSize box, Encoding encoding) {
    QByteArray copy = data;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QPdfDocument document;
    document.load(&buffer);
    if (document.status() != QPdfDocument::Status::Ready || document.pageCount() < 1) {
        return {};
    }
    const QSizeF page = document.pagePointSize(0);
    if (page.isEmpty()) {
        return {};
    }
    const QSize size = page.scaled(QSizeF(box), Qt::KeepAspectRatio).toSize().expandedTo({1, 1});
    const QImage image = document.render(0, size);
    document.close();
    return encode(onWhite(image), encoding);
}

QByteArray Previews::thumbnailOfImage(const QByteArray& data, int longestSide, Encoding encoding) {
    QByteArray copy = data;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true); // honour the orientation the camera recorded
    QSize size = reader.size();
    if (size.isValid() && (size.width() > longestSide || size.height() > longestSide)) {
        reader.setScaledSize(size.scaled(longestSide, longestSide, Qt::KeepAspectRatio));
    }
    QImage image = reader.read();
    if (image.isNull()) {
        return {};
    }
    if (image.width() > longestSide || image.height() > longestSide) {
        image =
            image.scaled(longestSide, longestSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    return encode(image.hasAlphaChannel() ? onWhite(image) : image, encoding);
}

QByteArray Previews::thumbnailOfFile(const QString& path, QSize box, Encoding encoding) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray data = file.readAll();
    if (looksLikePdf(data)) {
        return thumbnailOfPdf(data, box, encoding);
    }
    return thumbnailOfImage(data, std::max(box.width(), box.height()), encoding);
}

} // namespace tessaly
