if(TARGET xadrad)
  xad_add_bench(daemon_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon/daemon_bench.cpp LIBS xadracommon)
  target_compile_definitions(daemon_bench PRIVATE XAD_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
                             XAD_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data")
  add_dependencies(daemon_bench xadrad)
endif()
