# Result items for the search grid and their thumbnails.
target_sources(tessaly_search PRIVATE searchitem.h searchitem.cpp imagecache.h imagecache.cpp)
target_link_libraries(tessaly_search PUBLIC Qt6::Gui PRIVATE tessaly_pdf tessaly_files)
