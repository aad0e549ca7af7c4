#include "app/jobhost.h"

#include "app/jobindexing.h"
#include "renderbox/renderboxpool.h"
#include "search/indexfeed.h"

namespace tessaly {

JobHost::JobHost(PreferenceStore& store, const Setup& setup,
                 ArchiveController::DestinationProvider destination, QObject* parent)
    : QObject(parent)
    , m_index(std::make_unique<IndexFeed>(setup.indexPath))
    , m_boxes(
          std::make_unique<RenderBoxPool>(setup.center, setup.runtimeFolder, setup.boxProgram)) {
    RenderTool::Environment environment =
        RenderTool::boxEnvironment(m_boxes.get(), setup.runtimeFolder + QStringLiteral("/split"));
    // What the jobs archive is searchable moments later, and when a command ends, without a
    // crawl.
    indexArchivedMessages(environment, *m_index);
    m_controller = std::make_unique<ArchiveController>(&store, setup.center, std::move(environment),
                                                       std::move(destination));
}

JobHost::~JobHost() {
    m_controller.reset();
    m_boxes.reset();
}

void JobHost::cancel(const QStringList& jobNames) {
    for (const QString& name : jobNames) {
        m_controller->stopArchiving(name);
    }
    m_boxes->askAllToQuit();
}

bool JobHost::flushIndex(QString* error) {
    if (m_index->flush()) {
        return true;
    }
    if (error) {
        *error = m_index->lastError();
    }
    return false;
}

} // namespace tessaly
