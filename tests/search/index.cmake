# The index and its crawler.
tessaly_add_test(tst_archiveindex SOURCES tst_archiveindex.cpp LIBS tessaly_search)
tessaly_add_test(tst_archivecrawler SOURCES tst_archivecrawler.cpp
                 LIBS tessaly_search tessaly_pdf tessaly_tags)
tessaly_add_test(tst_indexfeed SOURCES tst_indexfeed.cpp
                 LIBS tessaly_search tessaly_pdf tessaly_mail tessaly_prefs)
