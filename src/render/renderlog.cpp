#include "render/renderlog.h"

namespace tessaly {
Q_LOGGING_CATEGORY(lcRender, "tessaly.render", QtWarningMsg)
} // namespace tessaly
