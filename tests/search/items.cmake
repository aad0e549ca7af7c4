# Result items, their thumbnails, the zoom and the info panel's facts.
tessaly_add_test(tst_searchitem SOURCES tst_searchitem.cpp LIBS tessaly_search)
tessaly_add_test(tst_imagecache SOURCES tst_imagecache.cpp LIBS tessaly_search)
tessaly_add_test(tst_iteminfo SOURCES tst_iteminfo.cpp LIBS tessaly_search tessaly_pdf tessaly_prefs)
