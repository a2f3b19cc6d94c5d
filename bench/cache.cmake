# Result cache: lookup, store, start-up scan and requests during the scan.
if(TARGET cache)
  xad_add_bench(cache_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/cache/bench_cache.cpp
    LIBS cache)
endif()
