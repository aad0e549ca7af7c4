# The index and its crawler.
target_sources(tessaly_search PRIVATE archiveindex.cpp archiveindexer.cpp archivecrawler.cpp)
target_link_libraries(tessaly_search PRIVATE tessaly_pdf tessaly_tags)
