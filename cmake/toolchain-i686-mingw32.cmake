# Cross-building the 32-bit Windows launcher with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TAMSU_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TAMSU_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAMSU_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TAMSU_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAMSU_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every cross-built program (the unit tests and GoogleTest's discovery among them) runs under
# Wine in a prefix of its own under the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine_run.sh ${CMAKE_BINARY_DIR}/wine/unit)
