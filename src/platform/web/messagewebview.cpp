#include "messagewebview.h"
