#include "app/jobindexing.h"

#include "search/indexfeed.h"

namespace tessaly {

void indexArchivedMessages(RenderTool::Environment& environment, IndexFeed& feed) {
    environment.archived = [&feed](ArchivedMessage archived) {
        ArchivedFiles files;
        files.root = std::move(archived.root);
        files.mainPath = std::move(archived.mainPath);
        for (const FileRecord& file : archived.files) {
            files.files.append(file.path);
        }
        files.message = std::move(archived.message);
        files.ledgerId = std::move(archived.identity);
        feed.add(std::move(files));
    };
}

} // namespace tessaly
