# Installs the build into a fresh folder and checks the kit's layout: the launcher at the top,
# the four tool folders, and the assemblers' read-me naming each family's folder.
#   cmake -DBUILD_DIR=... -DKIT_DIR=... -DLAUNCHER=<file name> -DFOLDERS=<list> -DTOOL=<file name>
#         [-DEXTRA_FILES=<list>]
#         -P check_kit.cmake
file(REMOVE_RECURSE "${KIT_DIR}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${KIT_DIR}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
if(NOT EXISTS "${KIT_DIR}/${LAUNCHER}" OR IS_DIRECTORY "${KIT_DIR}/${LAUNCHER}")
    message(FATAL_ERROR "no launcher ${LAUNCHER} at the top of the kit")
endif()
file(READ "${KIT_DIR}/README.txt" readme)
foreach(folder ${FOLDERS})
    if(NOT IS_DIRECTORY "${KIT_DIR}/${folder}")
        message(FATAL_ERROR "no ${folder} folder in the kit")
    endif()
    string(REPLACE "." "\\." tool_pattern "${TOOL}")
    if(NOT readme MATCHES "${folder}[\\\\/]${tool_pattern}")
        message(FATAL_ERROR "the read-me does not say where ${folder}'s tool goes")
    endif()
endforeach()
file(GLOB top RELATIVE "${KIT_DIR}" "${KIT_DIR}/*")
list(SORT top)
set(expected ${FOLDERS} README.txt ${LAUNCHER} ${EXTRA_FILES})
list(SORT expected)
if(NOT top STREQUAL expected)
    message(FATAL_ERROR "unexpected kit contents: ${top}")
endif()
