#include "app/crashreportquestion.h"

#include "platform/prefs/preferencestore.h"

#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>

namespace tessaly {

namespace {
Q_LOGGING_CATEGORY(lcCrashQuestion, "tessaly.app", QtWarningMsg)
}

QMessageBox* showCrashReportQuestion(QWidget* parent, PreferenceStore& store,
                                     const CrashReporter::Setup& setup) {
    auto* box = new QMessageBox(parent);
    box->setObjectName(QStringLiteral("crashReportQuestion"));
    box->setIcon(QMessageBox::Question);
    box->setWindowTitle(QObject::tr("Crash Reports"));
    box->setText(QObject::tr("Despite our best efforts and testing, sometimes a bug makes it's way "
                             "to you. Please help us out by sending us crash reports. \nYour "
                             "confidentiality is assured.\n\nAllow crash reporting?"));
    box->setInformativeText(
        QObject::tr("Reports are kept on this computer in %1; nothing is sent anywhere.")
            .arg(setup.folder));
    box->setTextFormat(Qt::PlainText);
    QPushButton* yes = box->addButton(QObject::tr("Yes"), QMessageBox::YesRole);
    QPushButton* no = box->addButton(QObject::tr("No"), QMessageBox::NoRole);
    box->setDefaultButton(yes);
    box->setEscapeButton(no);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Escape and the window's close button answer "No", as the escape button.
    QObject::connect(
        box, &QMessageBox::buttonClicked, box, [&store, setup, yes, no](QAbstractButton* button) {
            if (button != yes && button != no) {
                return;
            }
            const bool allowed = button == yes;
            recordCrashReportAnswer(store, allowed);
            if (!store.sync()) {
                qCWarning(lcCrashQuestion).noquote()
                    << "could not save the crash-report answer to" << store.filePath();
            }
            QString error;
            if (allowed && !CrashReporter::install(setup, &error)) {
                qCWarning(lcCrashQuestion).noquote() << "crash reports cannot be written:" << error;
            }
        });
    box->open();
    return box;
}

} // namespace tessaly
