# Benchmarks, kept out of the default build and the test run; scripts/bench.sh builds the
# `benchmarks` target and prints the table.
add_custom_target(benchmarks)

add_executable(trivial_run EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/tests/bench/trivial_run.cpp)
add_dependencies(benchmarks trivial_run)
# Linked as the launcher is, so the difference is the launcher's own work.
if(WIN32)
    target_link_options(trivial_run PRIVATE -static -mwindows)
else()
    target_link_options(trivial_run PRIVATE ${TAMSU_LINUX_RUNTIME_LINK})
endif()

find_package(benchmark QUIET)
if(benchmark_FOUND)
    add_executable(bench_classify EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/tests/bench/bench_classify.cpp)
    target_link_libraries(bench_classify PRIVATE tamsu_core benchmark::benchmark)
    add_dependencies(benchmarks bench_classify)
endif()

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
    pkg_check_modules(HIDAPI_HIDRAW QUIET IMPORTED_TARGET hidapi-hidraw)
endif()
if(TARGET tamsu_linux AND HIDAPI_HIDRAW_FOUND)
    add_executable(bench_scan EXCLUDE_FROM_ALL
        ${PROJECT_SOURCE_DIR}/tests/bench/bench_scan.cpp
        ${PROJECT_SOURCE_DIR}/common/trace_linux.cpp
    )
    target_link_libraries(bench_scan PRIVATE tamsu_linux PkgConfig::HIDAPI_HIDRAW)
    add_dependencies(benchmarks bench_scan)
endif()
