#pragma once

#include <QString>

class QWidget;

namespace tessaly::test {

// Writes the window at 1280 by 800 in a light and a dark palette, as NAME-light.png and
// NAME-dark.png in the build folder's screenshots folder, for a person to review. Returns the
// two paths; a failed write fails the calling test.
QStringList saveScreenshots(QWidget* window, const QString& name);

} // namespace tessaly::test
