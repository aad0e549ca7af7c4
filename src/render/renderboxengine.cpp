#include "render/renderboxengine.h"

#include "render/emloutput.h"
#include "render/renderlog.h"
#include "render/soundfiles.h"

namespace tessaly {

RenderBoxEngine::RenderBoxEngine(JobOptions options, RenderBoxProvider* boxes, QObject* parent)
    : MessageToHTMLToPDF(std::move(options), parent)
    , m_boxes(boxes) {
}

RenderBoxEngine::~RenderBoxEngine() {
    shutdown();
}

void RenderBoxEngine::proceed(std::shared_ptr<MCOMessageParser>) {
    m_waitingForBox = true;
    m_boxes->requestBox(this, [this](RenderBoxClient* box) { boxGranted(box); });
}

void RenderBoxEngine::boxGranted(RenderBoxClient* box) {
    m_waitingForBox = false;
    if (!m_busyRendering || !m_current) {
        m_boxes->releaseBox(box, false);
        return;
    }
    m_box = box;
    connect(m_box, &RenderBoxClient::renderFinished, this, [this] { busyDoingSomething(); });
    m_box->renderPDF(m_current->data(), m_mainFolder, m_mailFolder, m_options, m_jobName,
                     m_mailappAttachments, {m_lastPdfPath, m_number, m_replaceExisting});
}

void RenderBoxEngine::returnBox(bool abandoned) {
    if (!m_box) {
        return;
    }
    disconnect(m_box, nullptr, this, nullptr);
    m_boxes->releaseBox(std::exchange(m_box, nullptr), abandoned);
}

void RenderBoxEngine::takeOutcomeOfRenderBox(std::optional<RenderBoxResult> result) {
    if (!result) {
        m_reason = QStringLiteral("the render box reported no result");
        doneMakingPDF_EML_Attachments(Outcome::NotArchived);
        return;
    }
    m_reason = result->reason;
    if (!result->path.isEmpty()) {
        m_lastPdfPath = result->path;
    }
    m_files = std::move(result->files);
    if (result->outcome == Outcome::Failed || result->retry) {
        recordFailure();
    }
    doneMakingPDF_EML_Attachments(result->outcome);
}

bool RenderBoxEngine::busyDoingSomething() {
    if (m_waitingForBox) {
        return true;
    }
    if (!m_box) {
        return m_busyRendering;
    }
    if (m_box->busyWorkingOnRender()) {
        return true;
    }
    // Asked for its side effect: a box that died leaves the message as an emergency copy.
    if (m_box->failed()) {
        qCInfo(lcRender) << "render box ended during a render:" << subject();
    }
    std::optional<RenderBoxResult> result = m_box->takeResult();
    returnBox(false);
    takeOutcomeOfRenderBox(std::move(result));
    return false;
}

void RenderBoxEngine::prepareShutdown() {
    if (m_box) {
        m_box->askToQuit();
    }
}

void RenderBoxEngine::shutdown() {
    if (m_waitingForBox) {
        m_boxes->cancelRequest(this);
        m_waitingForBox = false;
    }
    // A render cut short leaves its box in an unknown state: it is not lent again.
    returnBox(true);
    m_busyRendering = false;
}

} // namespace tessaly
