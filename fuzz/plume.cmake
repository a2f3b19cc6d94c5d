if(TARGET plume)
  xad_add_fuzzer(wire_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/wire_fuzz.cpp LIBS plume)
  target_compile_definitions(wire_fuzz PRIVATE XAD_FUZZ_ENGINE=1)
endif()
