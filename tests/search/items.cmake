# Result items and their thumbnails.
tessaly_add_test(tst_searchitem SOURCES tst_searchitem.cpp LIBS tessaly_search)
tessaly_add_test(tst_imagecache SOURCES tst_imagecache.cpp LIBS tessaly_search)
