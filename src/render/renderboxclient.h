#pragma once

#include "platform/files/filerecord.h"
#include "render/joboptions.h"
#include "render/messagetohtmltopdf.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace tessaly {

// How one render in a box ended, as the box (or, when the box failed, its client) tells it.
struct RenderBoxResult {
    MessageToHTMLToPDF::Outcome outcome = MessageToHTMLToPDF::Outcome::NotArchived;
    QString reason;
    QString path; // where the message's PDF (or its copy's name) ended up
    std::vector<FileRecord> files;
    bool retry = false; // a failure worth one more try
};

// What an engine of the main process needs of the render box it renders through.
class RenderBoxClient : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Hands one message to the box, with the name it was given.
    virtual void renderPDF(const QByteArray& data, const QString& mainFolder,
                           const QString& mailFolder, const JobOptions& options,
                           const QString& jobName, const QString& mailappAttachments,
                           const ClaimedName& name) = 0;
    virtual bool busyWorkingOnRender() = 0;
    // After the render: whether the box died during it (an emergency EML copy is then written).
    virtual bool failed() = 0;
    // After the render: how it ended, once.
    virtual std::optional<RenderBoxResult> takeResult() = 0;
    virtual void quitRenderbox() = 0;
    // Asks the box to end without waiting for it, so that many boxes can end together.
    virtual void askToQuit() {}

Q_SIGNALS:
    // The render handed out is over (done, or the box ended): busyWorkingOnRender() says so.
    void renderFinished();
};

// Lends render boxes to engines, from one budget for the whole process. An engine asks for a
// box when it has a message for one and gives it back as soon as the render is over, so no
// engine holds a box it does not use.
class RenderBoxProvider {
public:
    using Grant = std::function<void(RenderBoxClient*)>;
    virtual ~RenderBoxProvider() = default;
    // Calls `grant` with a box once one is free: at once, or later, in the order asked.
    virtual void requestBox(const QObject* requester, Grant grant) = 0;
    virtual void cancelRequest(const QObject* requester) = 0;
    // The render is over. A box whose render was abandoned mid-way is not lent again.
    virtual void releaseBox(RenderBoxClient* box, bool abandoned) = 0;
};

} // namespace tessaly
