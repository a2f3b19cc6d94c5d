# Job framework overhead: a cold render through executeJob against the same
# work through hpgs alone, and a cache hit through executeJob.
if(TARGET jobs)
  xad_add_bench(jobs_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/jobs/bench_jobs.cpp LIBS jobs)
  target_compile_definitions(jobs_bench PRIVATE XAD_TEST_DATA="${CMAKE_CURRENT_LIST_DIR}/../tests/data")
  # The same check as the jobs library: the engine-alone PNG render needs
  # the hpgs paint device.
  get_target_property(xad_jobs_defs jobs COMPILE_DEFINITIONS)
  if("XAD_HPGS_PAINT=1" IN_LIST xad_jobs_defs)
    target_compile_definitions(jobs_bench PRIVATE XAD_HPGS_PAINT=1)
  else()
    target_compile_definitions(jobs_bench PRIVATE XAD_HPGS_PAINT=0)
  endif()
endif()
