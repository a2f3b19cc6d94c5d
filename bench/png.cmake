# PNG reading: PngReader row by row against a bare libpng row loop on an A1
# page at 150 dpi.
if(TARGET imaging)
  xad_add_bench(png_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/png/bench_png_reader.cpp LIBS imaging)
endif()
