# Pattern seek: a whole seek of a title-block pattern in a sample drawing at
# the daemon's default seek size, against the correlation work alone (the
# rest is rendering the four corners and the pattern).
if(TARGET jobs)
  xad_add_bench(seek_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/seek/bench_seek.cpp LIBS jobs)
  target_compile_definitions(seek_bench PRIVATE XAD_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data")
endif()
