# The Windows launcher, cross-built with mingw-w64: a fully static i686 GUI program with the
# wide console-style entry, whose import table holds only KERNEL32 and the C runtime.
enable_language(RC)

# Every other system library is delay-loaded: bound at its first call, after wmain has locked
# the library search, by full path from the system directory (launch/main_windows.cpp). Bound
# at start, a library and what it imports would be searched for beside the launcher first.
# Each name below is a target, so `target_link_libraries(... shlwapi)` anywhere in the project
# links the delay-import library made from the .def file listing the functions called.
function(tamsu_delay_import name def_file)
    set(archive ${CMAKE_BINARY_DIR}/delay-import/lib${name}.a)
    add_custom_command(OUTPUT ${archive}
        COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${PROJECT_SOURCE_DIR}/${def_file}
            --output-delaylib ${archive}
        DEPENDS ${PROJECT_SOURCE_DIR}/${def_file}
        COMMENT "Making the delay-import library of ${name}.dll"
        VERBATIM)
    add_custom_target(${name}_delay_import DEPENDS ${archive})
    add_library(${name} INTERFACE)
    add_dependencies(${name} ${name}_delay_import)
    target_link_libraries(${name} INTERFACE ${archive})
    # ld drops an import stub that no object names, although the delay-import address table
    # starts out pointing into it: calls through __imp_ then jump to address 0. Naming each
    # stub keeps it.
    file(STRINGS ${PROJECT_SOURCE_DIR}/${def_file} exports REGEX "^[A-Za-z_][A-Za-z0-9_]*@[0-9]+$")
    list(TRANSFORM exports PREPEND "LINKER:-u,_")
    target_link_options(${name} INTERFACE ${exports})
endfunction()
tamsu_delay_import(setupapi detect/setupapi.def)
tamsu_delay_import(shlwapi detect/shlwapi.def)
tamsu_delay_import(shell32 launch/shell32.def)
tamsu_delay_import(user32 launch/user32.def)

# Loading by full system path, for the layers above.
target_sources(tamsu_common PRIVATE common/system_library_windows.cpp)

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

# The search lock's fallback, which Wine (it always has SetDefaultDllDirectories) never takes on
# its own; it loads the planted library from a temporary folder.
target_sources(unit_tests PRIVATE tests/windows/test_system_library_windows.cpp)
target_compile_definitions(unit_tests PRIVATE
    TAMSU_PROBE_LIBRARY="$<TARGET_FILE:planted_library>")
add_dependencies(unit_tests planted_library)
