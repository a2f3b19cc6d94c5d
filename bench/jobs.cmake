# Job framework overhead: a cold render through executeJob against the same
# work through hpgs alone, and a cache hit through executeJob.
if(TARGET jobs)
  xad_add_bench(jobs_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/jobs/bench_jobs.cpp LIBS jobs)
  target_compile_definitions(jobs_bench PRIVATE XAD_TEST_DATA="${CMAKE_CURRENT_LIST_DIR}/../tests/data")
endif()
