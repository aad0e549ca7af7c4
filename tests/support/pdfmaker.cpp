#include "fakewebview.h"

#include <QBuffer>
#include <QPainter>
#include <QPdfWriter>
#include <QRandomGenerator>

namespace tessaly::test {

QByteArray makePdf(int pages, int minimumBytes) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    QPainter painter(&writer);
    // Noise does not compress, so the file reaches the size a real message's PDF has.
    QImage noise(64, 64 + minimumBytes / 200, QImage::Format_RGB32);
    QRandomGenerator random(42);
    for (int y = 0; y < noise.height(); ++y) {
        for (int x = 0; x < noise.width(); ++x) {
            noise.setPixel(x, y, random.generate());
        }
    }
    for (int page = 0; page < pages; ++page) {
        if (page > 0) {
            writer.newPage();
        }
        painter.drawText(100, 100, QStringLiteral("Page %1").arg(page + 1));
        painter.drawImage(QPoint(100, 200), noise);
    }
    painter.end();
    return bytes;
}

QByteArray makePng(QSize size, Qt::GlobalColor color) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

} // namespace tessaly::test
