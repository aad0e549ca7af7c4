# The query language and its translation to SQL.
target_sources(tessaly_search PRIVATE searchquery.h searchquery.cpp querysql.h querysql.cpp)
