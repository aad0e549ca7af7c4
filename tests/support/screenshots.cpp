#include "screenshots.h"

#include <QApplication>
#include <QDir>
#include <QPalette>
#include <QStyle>
#include <QTest>
#include <QWidget>

namespace tessaly::test {

namespace {

QPalette darkPalette() {
    QPalette palette;
    const QColor window(0x2b, 0x2b, 0x2b);
    const QColor base(0x1e, 0x1e, 0x1e);
    const QColor text(0xee, 0xee, 0xee);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, window);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::ToolTipBase, base);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0x90, 0x90, 0x90));
    palette.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0x78, 0xae, 0xed));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    return palette;
}

} // namespace

QStringList saveScreenshots(QWidget* window, const QString& name) {
    const QString folder = QStringLiteral(TESSALY_SCREENSHOT_DIR);
    QStringList written;
    if (!QDir().mkpath(folder)) {
        QTest::qFail(qPrintable(QStringLiteral("cannot make %1").arg(folder)), __FILE__, __LINE__);
        return written;
    }
    const QPalette original = QApplication::palette();
    window->resize(1280, 800);
    window->show();
    for (const bool dark : {false, true}) {
        QApplication::setPalette(dark ? darkPalette() : QApplication::style()->standardPalette());
        QApplication::processEvents();
        QTest::qWait(50);
        const QString path = QStringLiteral("%1/%2-%3.png")
                                 .arg(folder, name, dark ? QStringLiteral("dark")
                                                         : QStringLiteral("light"));
        if (!window->grab().save(path)) {
            QTest::qFail(qPrintable(QStringLiteral("cannot write %1").arg(path)), __FILE__,
                         __LINE__);
            break;
        }
        written.append(path);
    }
    QApplication::setPalette(original);
    return written;
}

} // namespace tessaly::test
