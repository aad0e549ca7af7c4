#pragma once

// For the seam's own files only: GMime's message tree as the seam's value types.

#include "platform/mail/mimepart.h"

typedef struct _GMimeMessage GMimeMessage;

namespace tessaly {

// The whole message as a part of kind Message (see MCOAbstractPart), every leaf decoded.
MCOAbstractPart partTreeOf(GMimeMessage* message);

} // namespace tessaly
