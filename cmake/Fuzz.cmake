# libFuzzer targets, each with a committed seed corpus in tests/fuzz/corpus/<target>.
# scripts/fuzz.sh builds `fuzz_all` and runs every target for a bounded time.
add_custom_target(fuzz_all)
function(tamsu_fuzz_target target library)
    add_executable(${target} ${PROJECT_SOURCE_DIR}/tests/fuzz/${target}.cpp)
    target_link_libraries(${target} PRIVATE ${library})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzz_all ${target})
endfunction()

tamsu_fuzz_target(fuzz_classify tamsu_core)
# The Windows path rules: drives, shares and both slashes give the split the most to get wrong.
tamsu_fuzz_target(fuzz_base_directory tamsu_core)
target_sources(fuzz_base_directory PRIVATE ${PROJECT_SOURCE_DIR}/launch/base_directory_windows.cpp)
tamsu_fuzz_target(fuzz_report_descriptor tamsu_detect_linux)
tamsu_fuzz_target(fuzz_hid_sysfs_map tamsu_linux)
