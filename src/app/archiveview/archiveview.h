#pragma once

#include "archive/archiverows.h"

#include <QList>
#include <QTimer>
#include <QWidget>

class QLabel;
class QScrollArea;
class QVBoxLayout;

namespace tessaly {

class AppContext;
class ArchiveCellView;
class RenderTool;

// The archive view: a row per source and per one-off job with its start and stop buttons and
// progress, refreshed every 2 s while jobs exist, when the job list changes and after
// preference changes. Rows are plain widgets: there is nothing to select.
class ArchiveView : public QWidget {
    Q_OBJECT

public:
    explicit ArchiveView(AppContext& app, QWidget* parent = nullptr);

    // Rebuilds every row from the job list and the stored preferences.
    void reloadTable();
    // "NAME - N%" of the last running job, "" when none runs.
    QString statusLine() const;
    // Whether any row is shown (a source, a job, or what a finished one-off job left).
    bool hasRows() const { return !m_cells.isEmpty(); }

Q_SIGNALS:
    // Every 2 s, for the window's status line.
    void statusLineChanged(const QString& line);
    // Rows came or went (a job of dropped files ended, its note was dismissed).
    void rowsChanged();

private:
    void startRow(const ArchiveCellView* cell);
    void stopRow(const ArchiveCellView* cell);
    void openErrorReport(const ArchiveCellView* cell);
    void jobFinished(RenderTool* job);
    void preferencesSettled(const QStringList& changedKeys);

    AppContext& m_app;
    ArchiveRowNotes m_notes;
    QScrollArea* m_scroll;
    QWidget* m_list;
    QVBoxLayout* m_rowsLayout;
    QLabel* m_empty;
    QList<ArchiveCellView*> m_cells;
    QTimer m_tableTimer;
    QTimer m_statusTimer;
};

} // namespace tessaly
