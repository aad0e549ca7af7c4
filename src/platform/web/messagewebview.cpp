#include "platform/web/messagewebview.h"
