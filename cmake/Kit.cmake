# `cmake --install` lays out the pairing kit: the launcher at the top, one folder per receiver
# family for its tool, and a read-me for whoever assembles the kit. CPack zips the Windows kit.
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
