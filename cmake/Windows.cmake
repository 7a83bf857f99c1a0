# The Windows launcher is cross-built with mingw-w64; its resources need the resource compiler.
enable_language(RC)

# Every system library but KERNEL32 and the C runtime is delay-loaded: bound at its first call,
# after wmain has locked the library search, by full path from the system directory
# (launch/main_windows.cpp). Bound at start, a library and what it imports would be searched for
# beside the launcher first. Each name below is a target, so `target_link_libraries(... shlwapi)`
# anywhere in the project links the delay-import library made from the .def file listing the
# functions called.
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
