#include "platform/web/qtwebengine/webengineprocess.h"

#include "platform/web/qtwebengine/webengineschemes.h"

#include <QCoreApplication>

#include <unistd.h>

namespace tessaly {

void prepareWebEngineProcess(bool headless) {
    if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    if (::geteuid() == 0) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    // Nothing from the page is cached or sent anywhere by the engine's own services.
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    flags += " --disable-background-networking --disable-component-update --disable-sync"
             " --no-first-run --disable-quic";
    if (headless) {
        // A page that is only printed needs one renderer, in a process of its own (sandboxed
        // except as root), and no GPU process. Running the renderer inside this process saved
        // no time once pages print as soon as they are ready, and a renderer crash would take
        // the whole process with it.
        flags += " --renderer-process-limit=1 --in-process-gpu --disable-gpu --disable-extensions"
                 " --disable-speech-api"
                 " --disable-features=MediaRouter,PrintPreview,SpareRendererForSitePerProcess";
    }
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    registerMessageSchemes();
}

} // namespace tessaly
