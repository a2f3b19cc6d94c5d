# Bounding boxes: the bbox job cold and from the cache, in process and through
# the real daemon, against hpgl-info on the same drawing; page boxes of a
# 300-page PDF against qpdf --show-pages.
if(TARGET jobs AND TARGET xadrad)
  xad_add_bench(bbox_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/bbox/bench_bbox.cpp LIBS jobs)
  target_compile_definitions(bbox_bench PRIVATE XAD_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
                             XAD_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data")
  add_dependencies(bbox_bench xadrad hpgl-info)
endif()
