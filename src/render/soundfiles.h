#pragma once

#include <QString>

namespace tessaly {

// What counts as already archived. Both tests delete a too-small file at the path (the remains
// of an earlier failure) and answer no for it.
class SoundFiles {
public:
    static constexpr qint64 kMinPdfBytes = 7000;
    static constexpr qint64 kMinEmlBytes = 20;

    static bool pdfFilelooksOK(const QString& path);
    static bool emlFilelooksOK(const QString& path);
    // The test for the kind of file the path names (".eml", else a PDF).
    static bool pdfOrEmlLooksOK(const QString& path);
};

} // namespace tessaly
