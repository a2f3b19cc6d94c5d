# Painting to PNG: whole renders, the paint device against bare cairo, PNG
# encoding share of an A1 preview.
if(TARGET hpgs)
  pkg_check_modules(HPGS_BENCH_CAIRO REQUIRED IMPORTED_TARGET cairo)
  xad_add_bench(hpgs_paint_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/hpgs_paint/bench_paint.cpp
    LIBS hpgs PkgConfig::HPGS_BENCH_CAIRO)
  target_compile_definitions(hpgs_paint_bench PRIVATE XAD_TEST_DATA="${CMAKE_CURRENT_LIST_DIR}/../tests/data")
endif()
