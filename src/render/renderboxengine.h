#pragma once

#include "render/messagetohtmltopdf.h"
#include "render/renderboxclient.h"

namespace tessaly {

// An engine of the main process: decides here whether a message needs work, and renders
// every message that does in a render box borrowed for that one render.
class RenderBoxEngine : public MessageToHTMLToPDF {
    Q_OBJECT

public:
    // The provider must outlive the engine.
    RenderBoxEngine(JobOptions options, RenderBoxProvider* boxes, QObject* parent = nullptr);
    ~RenderBoxEngine() override;

    bool busyDoingSomething() override;
    void shutdown() override;
    void prepareShutdown() override;

protected:
    void proceed(std::shared_ptr<MCOMessageParser> message) override;

private:
    void boxGranted(RenderBoxClient* box);
    void takeOutcomeOfRenderBox(std::optional<RenderBoxResult> result);
    void returnBox(bool abandoned);

    RenderBoxProvider* m_boxes;
    RenderBoxClient* m_box = nullptr;
    bool m_waitingForBox = false;
};

} // namespace tessaly
