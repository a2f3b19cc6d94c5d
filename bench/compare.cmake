# Difference images: two cached A1 renderings at 150 dpi compared, against
# the libpng reading and writing alone.
if(TARGET jobs)
  xad_add_bench(compare_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/compare/bench_compare.cpp LIBS jobs)
endif()
