#pragma once

#include "render/joboptions.h"

#include <QByteArray>
#include <QString>

namespace tessaly {

// What an engine of the main process needs of the render box it renders through.
class RenderBoxClient {
public:
    virtual ~RenderBoxClient() = default;
    // Hands one message to the box.
    virtual void renderPDF(const QByteArray& data, const QString& mainFolder,
                           const QString& mailFolder, const JobOptions& options,
                           const QString& jobName, const QString& mailappAttachments) = 0;
    virtual bool busyWorkingOnRender() = 0;
    // After the render: whether the box died during it (an emergency EML copy is then written).
    virtual bool failed() = 0;
    virtual void quitRenderbox() = 0;
    // Asks the box to end without waiting for it, so that many boxes can end together.
    virtual void askToQuit() {}
};

} // namespace tessaly
