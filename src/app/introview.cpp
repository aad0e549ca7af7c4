#include "app/introview.h"

#include <QDir>
#include <QFont>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tessaly {

namespace {

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QString doneMark(bool done) {
    // A text mark rather than an icon: it reads the same in every theme and to screen readers.
    return done ? QStringLiteral("\u2713 ") : QString();
}

} // namespace

IntroView::IntroView(QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("IntroView"));
    auto* title = new QLabel(tr("Welcome to Tessaly"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    titleFont.setBold(true);
    title->setFont(titleFont);
    auto* lead = new QLabel(tr("Tessaly keeps your e-mail as PDF files, one per message, with "
                               "their attachments beside them. Two steps get you started."),
                            this);
    lead->setWordWrap(true);

    m_destinationState = new QLabel(this);
    m_destinationState->setWordWrap(true);
    m_destinationState->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_chooseDestination = new QPushButton(tr("Choose Destination Folder…"), this);
    m_chooseDestination->setAccessibleName(tr("Choose the destination folder"));
    connect(m_chooseDestination, &QPushButton::clicked, this,
            &IntroView::chooseDestinationRequested);

    m_sourcesState = new QLabel(this);
    m_sourcesState->setWordWrap(true);
    auto* addAccount = new QPushButton(tr("Add Email Account…"), this);
    addAccount->setAccessibleName(tr("Add an IMAP email account"));
    connect(addAccount, &QPushButton::clicked, this, &IntroView::addAccountRequested);
    auto* addFolder = new QPushButton(tr("Add Folder of Mail Files…"), this);
    addFolder->setAccessibleName(tr("Add a folder of eml or mbox files"));
    connect(addFolder, &QPushButton::clicked, this, &IntroView::addFolderRequested);
    auto* openFiles = new QPushButton(tr("Archive Files Once…"), this);
    openFiles->setAccessibleName(tr("Archive eml or mbox files once"));
    connect(openFiles, &QPushButton::clicked, this, &IntroView::openFilesRequested);

    auto* steps = new QGridLayout;
    steps->setColumnStretch(1, 1);
    steps->setVerticalSpacing(6);
    steps->addWidget(heading(tr("1. Where should archives go?"), this), 0, 0, 1, 2);
    steps->addWidget(m_destinationState, 1, 0, 1, 2);
    steps->addWidget(m_chooseDestination, 2, 0);
    steps->setRowMinimumHeight(3, 18);
    steps->addWidget(heading(tr("2. What should be archived?"), this), 4, 0, 1, 2);
    steps->addWidget(m_sourcesState, 5, 0, 1, 2);
    auto* sourceButtons = new QHBoxLayout;
    sourceButtons->addWidget(addAccount);
    sourceButtons->addWidget(addFolder);
    sourceButtons->addWidget(openFiles);
    sourceButtons->addStretch(1);
    steps->addLayout(sourceButtons, 6, 0, 1, 2);

    auto* column = new QVBoxLayout;
    column->addWidget(title);
    column->addSpacing(6);
    column->addWidget(lead);
    column->addSpacing(18);
    column->addLayout(steps);
    column->addStretch(1);
    auto* outer = new QHBoxLayout(this);
    outer->addStretch(1);
    outer->addLayout(column, 4);
    outer->addStretch(1);
    outer->setContentsMargins(24, 36, 24, 24);
    setProgress({}, false);
}

void IntroView::setProgress(const QString& destination, bool hasSources) {
    const bool haveDestination = !destination.isEmpty();
    m_destinationState->setText(
        haveDestination
            ? doneMark(true) + tr("Archives go to %1.").arg(QDir::toNativeSeparators(destination))
            : tr("Choose a folder for the archive. Each account and folder gets a folder of its "
                 "own inside it."));
    m_chooseDestination->setText(haveDestination ? tr("Change Destination Folder…")
                                                 : tr("Choose Destination Folder…"));
    m_sourcesState->setText(
        hasSources ? doneMark(true) + tr("Sources are set up.")
                   : tr("Add an IMAP account, or a folder of .eml and .mbox files that Tessaly "
                        "archives again on schedule. To archive files once, drop them on this "
                        "window."));
}

} // namespace tessaly
