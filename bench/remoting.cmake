if(TARGET xadracommon)
  xad_add_bench(remoting_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/remoting/remoting_bench.cpp LIBS xadracommon)
endif()
