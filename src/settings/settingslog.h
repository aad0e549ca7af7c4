#pragma once

#include <QLoggingCategory>

namespace tessaly {
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
} // namespace tessaly
