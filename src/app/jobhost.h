#pragma once

#include "archive/archivecontroller.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

namespace tessaly {

class IndexFeed;
class NotificationCenter;
class PreferenceStore;
class RenderBoxPool;

// What running jobs takes, whoever runs them (the window, `tessaly-cli archive` and
// `tessaly-cli run`): the render boxes they share, the feed that puts what they archive into
// the search index, and the job list over them. Made once per process, without a widget.
class JobHost : public QObject {
    Q_OBJECT

public:
    struct Setup {
        NotificationCenter* center = nullptr;
        QString runtimeFolder; // the private runtime folder: box files, mailboxes split
        QString boxProgram;    // the executable started as a render box
        QString indexPath;     // the search index the feed writes
    };

    JobHost(PreferenceStore& store, const Setup& setup,
            ArchiveController::DestinationProvider destination, QObject* parent = nullptr);
    // The jobs end before the boxes they render in, and the boxes before the feed.
    ~JobHost() override;

    ArchiveController& controller() { return *m_controller; }
    RenderBoxPool& boxes() { return *m_boxes; }
    IndexFeed& index() { return *m_index; }

    // Stops these jobs (and sources still starting), and tells every box to quit, the idle
    // ones too, so that they end side by side while the jobs write their reports.
    void cancel(const QStringList& jobNames);
    // Writes everything archived so far into the index; false with the reason when some of it
    // could not be.
    bool flushIndex(QString* error);

private:
    std::unique_ptr<IndexFeed> m_index;
    std::unique_ptr<RenderBoxPool> m_boxes;
    std::unique_ptr<ArchiveController> m_controller;
};

} // namespace tessaly
