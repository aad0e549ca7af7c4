#include "archive/archivelog.h"

namespace tessaly {
Q_LOGGING_CATEGORY(lcArchive, "tessaly.archive", QtWarningMsg)
} // namespace tessaly
