# The index and its crawler; the feed that indexes what a running job archives.
target_sources(tessaly_search PRIVATE archiveindex.cpp archiveindexer.cpp archivecrawler.cpp
               indexfeed.cpp messagetext.cpp)
target_link_libraries(tessaly_search PRIVATE tessaly_pdf tessaly_tags tessaly_mail)
