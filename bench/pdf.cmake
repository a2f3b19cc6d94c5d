# PDF output: the drawing-to-PDF job against hpgl2png at 150 dpi, and rotating
# and stamping a 100-page PDF against qpdf --rotate.
if(TARGET jobs)
  xad_add_bench(pdf_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/pdf/bench_pdf.cpp LIBS jobs)
  target_compile_definitions(pdf_bench PRIVATE XAD_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
                             XAD_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data")
  if(TARGET hpgl2png)
    add_dependencies(pdf_bench hpgl2png)
  endif()
endif()
