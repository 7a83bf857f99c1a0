# The Windows launcher, cross-built with mingw-w64: a fully static i686 GUI program with the
# wide console-style entry, importing only libraries Windows takes from its system directory.
enable_language(RC)

# The detection pass joins the detection layer, which sees only common/.
target_sources(tamsu_detect PRIVATE detect/hid_scan_windows.cpp)
target_link_libraries(tamsu_detect PUBLIC setupapi)

add_executable(TamsuLauncher WIN32
    launch/base_directory_windows.cpp
    launch/launcher_run.cpp
    launch/main_windows.cpp
    launch/platform_windows.cpp
    common/trace_windows.cpp
    res/TamsuLauncher.rc
)
target_link_libraries(TamsuLauncher PRIVATE tamsu_core shell32 user32)
# -municode: wmain rather than WinMain; -static: no libwinpthread or libstdc++ DLL beside the
# launcher, where the loader would look for it first.
# --no-insert-timestamp: the same commit builds the same bytes.
target_link_options(TamsuLauncher PRIVATE -municode -mwindows -static -Wl,--no-insert-timestamp
    $<$<CONFIG:MinSizeRel,Release>:-s>)
target_compile_options(TamsuLauncher PRIVATE -municode)
# The resource script pulls these in; windres finds them through the include path.
target_include_directories(TamsuLauncher PRIVATE res)
set_source_files_properties(res/TamsuLauncher.rc PROPERTIES OBJECT_DEPENDS
    "${PROJECT_SOURCE_DIR}/res/TamsuLauncher.manifest;${PROJECT_SOURCE_DIR}/res/TamsuLauncher.ico")

# The cross-built unit tests are linked the same way, so Wine needs no mingw runtime DLL.
foreach(test_program unit_tests run_tests)
    target_link_options(${test_program} PRIVATE -static)
endforeach()

# They run under Wine (the toolchain's emulator) in a prefix made while building, since
# GoogleTest's discovery allows each run only a few seconds.
set(TAMSU_UNIT_PREFIX ${CMAKE_BINARY_DIR}/wine/unit)
add_custom_command(
    OUTPUT ${TAMSU_UNIT_PREFIX}/system.reg
    COMMAND ${PROJECT_SOURCE_DIR}/tests/windows/wine_run.sh ${TAMSU_UNIT_PREFIX} --boot
    COMMENT "Making the Wine prefix of the unit tests"
    VERBATIM)
add_custom_target(wine_unit_prefix ALL DEPENDS ${TAMSU_UNIT_PREFIX}/system.reg)

add_subdirectory(tests/windows)
