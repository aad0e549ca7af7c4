#include "renderbox/renderboxlog.h"

namespace tessaly {
Q_LOGGING_CATEGORY(lcRenderBox, "tessaly.archive", QtWarningMsg)
} // namespace tessaly
