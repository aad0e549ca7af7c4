#pragma once

#include "archive/job/rendertool.h"

namespace tessaly {

class IndexFeed;

// Makes the jobs run with `environment` put each message they archive into the search index
// through `feed`, which must outlive them.
void indexArchivedMessages(RenderTool::Environment& environment, IndexFeed& feed);

} // namespace tessaly
