#include "settings/settingslog.h"

namespace tessaly {
Q_LOGGING_CATEGORY(lcSettings, "tessaly.settings", QtWarningMsg)
} // namespace tessaly
