# Reader fuzz target; seed corpus: the sample plot files in tests/data/hpgl.
if(TARGET hpgs)
  xad_add_fuzzer(hpgs_reader_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/../src/hpgs/fuzz/hpgs_fuzz.cpp LIBS hpgs)
endif()
