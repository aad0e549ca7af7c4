#include "app/mainwindow.h"

#include <QLabel>
#include <QVBoxLayout>

namespace tessaly {

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Tessaly"));
    setObjectName(QStringLiteral("TYMainWindow"));
    auto* intro = new QLabel(tr("Tessaly archives e-mail as PDF files.\n\n"
                                "Use tessaly-cli paths to preview where messages will be filed."),
                             this);
    intro->setAlignment(Qt::AlignCenter);
    intro->setWordWrap(true);
    setCentralWidget(intro);
    resize(900, 600);
}

} // namespace tessaly
