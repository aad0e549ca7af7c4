#pragma once

#include <QLoggingCategory>

namespace tessaly {
// The boxes log under the archive's category, where their lines have always been: logging
// rules written for them keep working.
Q_DECLARE_LOGGING_CATEGORY(lcRenderBox)
} // namespace tessaly
