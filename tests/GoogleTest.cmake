# GoogleTest comes from Debian's packages: the prebuilt libgtest-dev natively, and the sources
# of the googletest package when cross-building, so nothing is downloaded.
if(CMAKE_CROSSCOMPILING)
    set(TAMSU_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${TAMSU_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Newer GoogleTest sources define these names themselves.
    if(NOT TARGET GTest::gtest)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
else()
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)
