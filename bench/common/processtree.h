#pragma once

#include <QtGlobal>

// Resident memory of this process and all its descendants (layout engines and render boxes run
// as processes of their own), in KiB.
qint64 processTreeRssKiB();
