# `cmake --install` lays out the pairing kit: the launcher at the top, one folder per receiver
# family for its tool, a read-me for whoever assembles the kit, and on Linux the udev rule that
# opens the receivers to the person at the seat. CPack zips the Windows kit.
if(WIN32)
    set(TAMSU_LAUNCHER_TARGET TamsuLauncher)
else()
    set(TAMSU_LAUNCHER_TARGET tamsu-launcher)
endif()

install(TARGETS ${TAMSU_LAUNCHER_TARGET} RUNTIME DESTINATION .)
# The Windows kit's read-me has CRLF line ends, which every Notepad shows as lines.
if(WIN32)
    set(TAMSU_README_LINE_ENDS CRLF)
else()
    set(TAMSU_README_LINE_ENDS UNIX)
endif()
configure_file(${PROJECT_SOURCE_DIR}/res/kit-readme.txt ${CMAKE_BINARY_DIR}/kit-readme/README.txt
    @ONLY NEWLINE_STYLE ${TAMSU_README_LINE_ENDS})
install(FILES ${CMAKE_BINARY_DIR}/kit-readme/README.txt DESTINATION .)
if(NOT WIN32)
    # The Linux kit's udev rule, as the launcher prints it from its own receiver table.
    set(TAMSU_DEVICE_RULE ${CMAKE_BINARY_DIR}/kit-rule/70-tamsu-receivers.rules)
    add_custom_command(OUTPUT ${TAMSU_DEVICE_RULE}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/kit-rule
        COMMAND sh -c "\"$1\" --device-rule > \"$2\"" sh $<TARGET_FILE:tamsu-launcher>
                ${TAMSU_DEVICE_RULE}
        DEPENDS tamsu-launcher VERBATIM)
    add_custom_target(tamsu_device_rule ALL DEPENDS ${TAMSU_DEVICE_RULE})
    install(FILES ${TAMSU_DEVICE_RULE} DESTINATION .)
endif()
foreach(folder ${TAMSU_KIT_FOLDERS})
    install(DIRECTORY DESTINATION ${folder})
endforeach()

set(CPACK_PACKAGE_NAME TamsuPairKit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR ZIP)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Stable archive contents from one commit to the next build of it.
set(CPACK_ARCHIVE_THREADS 1)
include(CPack)
