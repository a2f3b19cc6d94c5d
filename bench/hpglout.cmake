# HP-GL/2 output: one annotation inserted into the 2 MB harmonograph against
# reading it with hpgl-info.
if(TARGET jobs)
  xad_add_bench(hpglout_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/hpglout/bench_hpglout.cpp LIBS jobs)
  target_compile_definitions(hpglout_bench PRIVATE XAD_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
                             XAD_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data")
  if(TARGET hpgl-info)
    add_dependencies(hpglout_bench hpgl-info)
  endif()
endif()
