#pragma once

namespace tessaly {

// Sets up a process that lays pages out with QtWebEngine; call before the QApplication exists.
// Registers the page, part and fetch URL schemes, shares GL contexts as the engine requires, and
// turns Chromium's sandbox off only where it cannot work: when running as root. With
// `headless`, the offscreen platform is used unless a platform was chosen explicitly.
void prepareWebEngineProcess(bool headless);

} // namespace tessaly
