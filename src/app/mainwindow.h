#pragma once

#include <QMainWindow>

namespace tessaly {

// The application's window. It holds the archive, search and settings views as they arrive;
// closing it only hides it, so running jobs go on.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
};

} // namespace tessaly
