# Result items for the search grid, their thumbnails, the zoom that sizes them and the facts the
# info panel shows about them.
target_sources(tessaly_search PRIVATE searchitem.h searchitem.cpp imagecache.h imagecache.cpp
                                      iteminfo.h iteminfo.cpp searchzoom.h searchzoom.cpp)
target_link_libraries(tessaly_search PUBLIC Qt6::Gui PRIVATE tessaly_pdf tessaly_files)
