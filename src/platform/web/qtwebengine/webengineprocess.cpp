#include "platform/web/qtwebengine/webengineprocess.h"

#include "platform/web/qtwebengine/webengineschemes.h"

#include <QCoreApplication>

#include <unistd.h>

namespace tessaly {

void prepareWebEngineProcess(bool headless) {
    if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const bool root = ::geteuid() == 0;
    if (root) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
    // Nothing from the page is cached or sent anywhere by the engine's own services.
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    flags += " --disable-background-networking --disable-component-update --disable-sync"
             " --no-first-run --disable-quic";
    if (headless) {
        // A page that is only printed needs one renderer and no GPU process of its own. Where
        // the sandbox is off anyway (as root), the renderer runs inside this process: no
        // renderer or zygote processes to start, feed and keep in memory. Elsewhere the
        // renderer keeps its own sandboxed process; TESSALY_SEPARATE_RENDERER=1 asks for that
        // as root too (the tests run both ways).
        const bool inProcess =
            root && qEnvironmentVariableIntValue("TESSALY_SEPARATE_RENDERER") == 0;
        flags += inProcess ? " --single-process" : " --renderer-process-limit=1 --in-process-gpu";
        flags += " --disable-gpu --disable-extensions --disable-speech-api"
                 " --disable-features=MediaRouter,PrintPreview,SpareRendererForSitePerProcess";
    }
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    registerMessageSchemes();
}

} // namespace tessaly
