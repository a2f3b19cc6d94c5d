# PNG reader fuzz target; seed corpus: fuzz/png/corpus (small files of every
# colour type, interlaced ones, and damaged ones).
if(TARGET imaging)
  xad_add_fuzzer(png_reader_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/png/png_reader_fuzz.cpp LIBS imaging)
  target_compile_definitions(png_reader_fuzz PRIVATE XAD_FUZZ_ENGINE=1)
endif()
