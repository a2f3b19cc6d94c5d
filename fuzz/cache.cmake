# Cache manifest scan fuzz target; seed corpus: fuzz/cache/corpus (a stored
# manifest, cut short, with CR LF, naming files outside its key).
if(TARGET cache)
  xad_add_fuzzer(manifest_scan_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/cache/manifest_scan_fuzz.cpp LIBS cache)
  target_compile_definitions(manifest_scan_fuzz PRIVATE XAD_FUZZ_ENGINE=1)
endif()
