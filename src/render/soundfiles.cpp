#include "render/soundfiles.h"

#include <QFile>
#include <QFileInfo>

namespace tessaly {

namespace {
bool atLeast(const QString& path, qint64 minimum) {
    const QFileInfo info(path);
    if (!info.exists()) {
        return false;
    }
    if (info.isFile() && info.size() < minimum) {
        QFile::remove(path);
        return false;
    }
    return info.isFile();
}
} // namespace

bool SoundFiles::pdfFilelooksOK(const QString& path) {
    return atLeast(path, kMinPdfBytes);
}

bool SoundFiles::emlFilelooksOK(const QString& path) {
    return atLeast(path, kMinEmlBytes);
}

bool SoundFiles::pdfOrEmlLooksOK(const QString& path) {
    return path.endsWith(QStringLiteral(".eml"), Qt::CaseInsensitive) ? emlFilelooksOK(path)
                                                                      : pdfFilelooksOK(path);
}

} // namespace tessaly
