# PDF pages through ghostscript and the real daemon against bare gs runs.
if(TARGET xadrad)
  xad_add_bench(gs_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/gs/bench_gs.cpp LIBS xadracommon)
  target_compile_definitions(gs_bench PRIVATE XAD_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
                             XAD_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data")
  add_dependencies(gs_bench xadrad)
endif()
