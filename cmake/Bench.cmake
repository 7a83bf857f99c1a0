# Benchmarks, kept out of the default build and the test run; scripts/bench.sh builds the
# `benchmarks` target and prints the table.
find_package(benchmark QUIET)
add_custom_target(benchmarks)
if(benchmark_FOUND)
    add_executable(bench_classify EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/tests/bench/bench_classify.cpp)
    target_link_libraries(bench_classify PRIVATE tamsu_core benchmark::benchmark)
    add_dependencies(benchmarks bench_classify)
endif()
