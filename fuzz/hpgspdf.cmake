# PDF and FDF reader fuzz target; seed corpus: fuzz/hpgspdf/corpus (sample
# PDF and FDF files and the findings of earlier runs).
if(TARGET hpgspdf)
  xad_add_fuzzer(hpgspdf_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/hpgspdf/pdf_fdf_fuzz.cpp LIBS hpgspdf)
  target_compile_definitions(hpgspdf_fuzz PRIVATE XAD_FUZZ_ENGINE=1)
endif()
