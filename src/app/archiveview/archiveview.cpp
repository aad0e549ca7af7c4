#include "app/archiveview/archiveview.h"

#include "app/appcontext.h"
#include "app/archiveview/archivecellview.h"
#include "archive/archivecontroller.h"
#include "platform/prefs/preferencekeys.h"
#include "platform/prefs/preferencestore.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

namespace tessaly {

namespace {
constexpr int kTableRefreshMs = 2000;
constexpr int kStatusLineMs = 2000;
constexpr int kPreferencesQuietMs = 200;
} // namespace

ArchiveView::ArchiveView(AppContext& app, QWidget* parent)
    : QWidget(parent)
    , m_app(app)
    , m_scroll(new QScrollArea(this))
    , m_list(new QWidget)
    , m_rowsLayout(new QVBoxLayout(m_list))
    , m_empty(
          new QLabel(tr("Nothing to archive yet: add an account or a folder in Settings."), this)) {
    setObjectName(QStringLiteral("ArchiveView"));
    m_list->setObjectName(QStringLiteral("ArchiveRows"));
    m_list->setAccessibleName(tr("Archive jobs"));
    m_rowsLayout->addStretch();
    m_scroll->setWidget(m_list);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setFocusPolicy(Qt::NoFocus);
    m_empty->setObjectName(QStringLiteral("emptyState"));
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_scroll);
    layout->addWidget(m_empty);

    ArchiveController& controller = m_app.archiveController();
    connect(&controller, &ArchiveController::jobListChanged, this, &ArchiveView::reloadTable);
    connect(&controller, &ArchiveController::jobFinished, this, &ArchiveView::jobFinished);
    connect(&controller, &ArchiveController::sourceNotStarted, this,
            [this](const QString& source, const QString& reason) {
                m_notes.sourceNotStarted(source, reason);
                reloadTable();
            });
    connect(&controller, &ArchiveController::errorFolderNames, this,
            [this](const QString& account, const QString& error) {
                m_notes.errorFolderNames(account, error,
                                         m_app.archiveController().renderToolForjobName(account));
                reloadTable();
            });

    auto* watcher = new PreferenceWatcher(&m_app.store(), kPreferencesQuietMs, this);
    connect(watcher, &PreferenceWatcher::settled, this, &ArchiveView::preferencesSettled);

    m_tableTimer.setInterval(kTableRefreshMs);
    connect(&m_tableTimer, &QTimer::timeout, this, &ArchiveView::reloadTable);
    m_statusTimer.setInterval(kStatusLineMs);
    connect(&m_statusTimer, &QTimer::timeout, this,
            [this] { Q_EMIT statusLineChanged(statusLine()); });
    m_statusTimer.start();

    reloadTable();
}

QString ArchiveView::statusLine() const {
    return ArchiveRows::windowStatusLine(m_app.archiveController().renderJobs());
}

void ArchiveView::reloadTable() {
    ArchiveController& controller = m_app.archiveController();
    m_notes.forgetRestarted(controller.renderJobs());
    const QList<ArchiveRow> rows = ArchiveRows::rows(controller, m_app.store(), m_notes);
    const qsizetype before = m_cells.size();

    while (m_cells.size() < rows.size()) {
        auto* cell = new ArchiveCellView(m_list);
        // Before the stretch, so rows stay at the top.
        m_rowsLayout->insertWidget(static_cast<int>(m_cells.size()), cell);
        cell->show(); // now, not when the layout gets round to it
        connect(cell, &ArchiveCellView::startRequested, this, [this, cell] { startRow(cell); });
        connect(cell, &ArchiveCellView::stopRequested, this, [this, cell] { stopRow(cell); });
        connect(cell, &ArchiveCellView::openErrorReportRequested, this,
                [this, cell] { openErrorReport(cell); });
        connect(cell, &ArchiveCellView::dismissRequested, this, [this, cell] {
            m_notes.dismiss(cell->row().jobName);
            reloadTable();
        });
        m_cells.append(cell);
    }
    while (m_cells.size() > rows.size()) {
        // Later: the reload may come from a click on one of this cell's buttons.
        ArchiveCellView* cell = m_cells.takeLast();
        cell->hide();
        cell->deleteLater();
    }
    for (qsizetype i = 0; i < rows.size(); ++i) {
        m_cells[i]->setRow(rows[i]);
    }
    m_scroll->setVisible(!rows.isEmpty());
    m_empty->setVisible(rows.isEmpty());

    if (controller.renderJobs().isEmpty()) {
        m_tableTimer.stop();
    } else if (!m_tableTimer.isActive()) {
        m_tableTimer.start();
    }
    if (before != m_cells.size()) {
        Q_EMIT rowsChanged();
    }
}

void ArchiveView::startRow(const ArchiveCellView* cell) {
    const ArchiveRow& row = cell->row();
    if (row.kind != ArchiveRow::Kind::Source) {
        return; // dropped files are started by dropping them again
    }
    m_app.startArchivingJob(row.jobName);
    reloadTable();
}

void ArchiveView::stopRow(const ArchiveCellView* cell) {
    const ArchiveRow row = cell->row();
    ArchiveController& controller = m_app.archiveController();
    if (row.kind == ArchiveRow::Kind::OneOff) {
        // One-off jobs may share a name: stop the row's own job, not the first of its name.
        if (RenderTool* job = row.job.data()) {
            job->cancel();
            controller.removeRenderJob(job);
        }
    } else {
        controller.stopArchiving(row.jobName);
    }
    reloadTable();
}

void ArchiveView::openErrorReport(const ArchiveCellView* cell) {
    const QString path = cell->row().errorReportPath;
    if (QFileInfo::exists(path) && QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Warning, tr("Error Report"),
                                QFileInfo::exists(path)
                                    ? tr("No application could open the error report %1.").arg(path)
                                    : tr("The error report %1 is no longer there.").arg(path),
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
}

void ArchiveView::jobFinished(RenderTool* job) {
    const bool oneOff =
        !m_app.archiveController().emailANDFolderAccounts().contains(job->jobName());
    m_notes.jobFinished(job, oneOff);
    // The job list drops the job a moment later and says so; the row follows then.
}

void ArchiveView::preferencesSettled(const QStringList& changedKeys) {
    if (changedKeys.contains(prefkeys::hoursBetweenUpdates)) {
        m_app.archiveController().scheduler().startAutoJobTimer();
    }
    reloadTable();
}

} // namespace tessaly
