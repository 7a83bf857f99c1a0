# `cmake --install` lays out the pairing kit: the launcher at the top, one folder per receiver
# family for its tool, and a read-me for whoever assembles the kit. CPack zips the Windows kit.
if(WIN32)
    set(TAMSU_LAUNCHER_TARGET TamsuLauncher)
else()
    set(TAMSU_LAUNCHER_TARGET tamsu-launcher)
endif()

install(TARGETS ${TAMSU_LAUNCHER_TARGET} RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/res/kit-readme.txt DESTINATION . RENAME README.txt)
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
