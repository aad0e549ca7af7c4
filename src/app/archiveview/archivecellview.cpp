#include "app/archiveview/archivecellview.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

namespace tessaly {

namespace {

// The bar counts in thousandths: fine enough for a smooth bar, and a whole number.
constexpr int kProgressSteps = 1000;

QPushButton* makeButton(const QString& text, const QString& objectName, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(objectName);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setAutoDefault(false);
    return button;
}

} // namespace

ArchiveCellView::ArchiveCellView(QWidget* parent)
    : QFrame(parent)
    , m_label(new QLabel(this))
    , m_message(new QLabel(this))
    , m_note(new QLabel(this))
    , m_progress(new QProgressBar(this))
    , m_start(makeButton(tr("Start"), QStringLiteral("start"), this))
    , m_stop(makeButton(tr("Stop"), QStringLiteral("stop"), this))
    , m_openReport(makeButton(tr("Open Error Report"), QStringLiteral("openErrorReport"), this))
    , m_dismiss(makeButton(tr("Dismiss"), QStringLiteral("dismiss"), this)) {
    setObjectName(QStringLiteral("ArchiveCellView"));
    setFrameShape(QFrame::StyledPanel);
    setFocusPolicy(Qt::NoFocus);

    QFont bold = m_label->font();
    bold.setBold(true);
    m_label->setFont(bold);
    m_label->setObjectName(QStringLiteral("label"));
    m_label->setTextFormat(Qt::PlainText);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setTextFormat(Qt::PlainText);
    m_message->setWordWrap(true);
    m_note->setObjectName(QStringLiteral("note"));
    m_note->setTextFormat(Qt::PlainText);
    m_note->setWordWrap(true);
    m_note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, kProgressSteps);

    auto* layout = new QGridLayout(this);
    layout->addWidget(m_label, 0, 0);
    layout->addWidget(m_progress, 1, 0);
    layout->addWidget(m_message, 2, 0);
    layout->addWidget(m_note, 3, 0);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(m_start);
    buttons->addWidget(m_stop);
    buttons->addWidget(m_openReport);
    buttons->addWidget(m_dismiss);
    buttons->addStretch();
    layout->addLayout(buttons, 0, 1, 4, 1);
    layout->setColumnStretch(0, 1);

    connect(m_start, &QPushButton::clicked, this, &ArchiveCellView::startRequested);
    connect(m_stop, &QPushButton::clicked, this, &ArchiveCellView::stopRequested);
    connect(m_openReport, &QPushButton::clicked, this, &ArchiveCellView::openErrorReportRequested);
    connect(m_dismiss, &QPushButton::clicked, this, &ArchiveCellView::dismissRequested);
}

void ArchiveCellView::setRow(const ArchiveRow& row) {
    // Reloads come every two seconds: a button that goes away hands its focus to the one
    // taking its place, so the keyboard user is not thrown out of the row.
    QPushButton* focused = nullptr;
    for (QPushButton* button : {m_start, m_stop, m_openReport, m_dismiss}) {
        if (button->hasFocus()) {
            focused = button;
        }
    }
    // Cells are reused by position: when this one now shows another job, a focused button
    // would stop or start that other job on the next Space. Focus goes to the cell instead.
    const bool sameRow = m_row.jobName == row.jobName && m_row.kind == row.kind;
    if (focused && !sameRow) {
        setFocus(Qt::OtherFocusReason);
        focused = nullptr;
    }
    m_row = row;
    const QString& name = row.label;
    setAccessibleName(name);
    m_label->setText(name);
    m_message->setText(row.message);
    m_note->setText(row.note);
    m_note->setVisible(!row.note.isEmpty());

    const bool finishedOneOff = row.kind == ArchiveRow::Kind::FinishedOneOff;
    m_start->setVisible(!row.listed && !finishedOneOff);
    m_stop->setVisible(row.listed);
    m_progress->setVisible(row.listed);
    m_progress->setValue(static_cast<int>(std::clamp(row.fraction, 0.0, 1.0) * kProgressSteps));
    m_openReport->setVisible(!row.errorReportPath.isEmpty());
    m_dismiss->setVisible(finishedOneOff);

    m_start->setAccessibleName(tr("Start archiving %1").arg(name));
    m_stop->setAccessibleName(tr("Stop archiving %1").arg(name));
    m_progress->setAccessibleName(tr("Archiving progress of %1").arg(name));
    m_openReport->setAccessibleName(tr("Open the error report of %1").arg(name));
    m_dismiss->setAccessibleName(tr("Dismiss %1").arg(name));

    if (focused && !focused->isVisibleTo(this)) {
        for (QPushButton* button : {m_stop, m_start, m_openReport, m_dismiss}) {
            if (button->isVisibleTo(this)) {
                button->setFocus(Qt::OtherFocusReason);
                break;
            }
        }
    }
}

} // namespace tessaly
