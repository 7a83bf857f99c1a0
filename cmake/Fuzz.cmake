# libFuzzer targets, each with a committed seed corpus in tests/fuzz/corpus/<target>.
# scripts/fuzz.sh builds `fuzz_all` and runs every target for a bounded time.
set(TAMSU_FUZZ_TARGETS fuzz_classify fuzz_base_directory)
add_custom_target(fuzz_all)
foreach(target IN LISTS TAMSU_FUZZ_TARGETS)
    add_executable(${target} ${PROJECT_SOURCE_DIR}/tests/fuzz/${target}.cpp)
    target_link_libraries(${target} PRIVATE tamsu_core)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzz_all ${target})
endforeach()
