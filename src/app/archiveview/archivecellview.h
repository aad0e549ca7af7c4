#pragma once

#include "archive/archiverows.h"

#include <QFrame>

class QLabel;
class QProgressBar;
class QPushButton;

namespace tessaly {

// One row of the archive view: the source's name, its start or stop button, the job's
// progress and status message, and what its last run left to tell with the button that
// opens its error report.
class ArchiveCellView : public QFrame {
    Q_OBJECT

public:
    explicit ArchiveCellView(QWidget* parent = nullptr);

    // Shows a row; the same cell shows whatever row ends up in its place on the next reload.
    void setRow(const ArchiveRow& row);
    const ArchiveRow& row() const { return m_row; }

Q_SIGNALS:
    void startRequested();
    void stopRequested();
    void openErrorReportRequested();
    void dismissRequested();

private:
    ArchiveRow m_row;
    QLabel* m_label;
    QLabel* m_message;
    QLabel* m_note;
    QProgressBar* m_progress;
    QPushButton* m_start;
    QPushButton* m_stop;
    QPushButton* m_openReport;
    QPushButton* m_dismiss;
};

} // namespace tessaly
