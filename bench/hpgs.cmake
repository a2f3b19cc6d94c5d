# HPGL/2 reader throughput (parse + plot size).
if(TARGET hpgs)
  xad_add_bench(hpgs_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/../src/hpgs/bench/hpgs_bench.cpp LIBS hpgs)
  target_compile_definitions(hpgs_bench PRIVATE XAD_TEST_DATA="${CMAKE_CURRENT_LIST_DIR}/../tests/data")
endif()
