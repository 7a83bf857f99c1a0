# The native Linux launcher.
#
# The Linux half except the entry and the trace channel, so that tests (and fuzzers) can link
# it with a trace of their own. tamsu_detect_linux is the descriptor scanner, the sysfs-to-path
# mapping and the sysfs pass; tamsu_linux adds the platform layer, the process handling and
# elevation.
target_sources(tamsu_common PRIVATE common/text_linux.cpp)

add_library(tamsu_detect_linux STATIC
    detect/report_descriptor.cpp
    detect/hid_sysfs_map.cpp
    detect/hid_scan_linux.cpp
)
target_link_libraries(tamsu_detect_linux PUBLIC tamsu_detect)

add_library(tamsu_linux STATIC
    launch/base_directory_linux.cpp
    launch/platform_linux.cpp
    launch/elevation_linux.cpp
    launch/process_linux.cpp
)
target_link_libraries(tamsu_linux PUBLIC tamsu_core tamsu_detect_linux)

# Dynamically linked on purpose: umockdev fakes sysfs by preloading a library.
add_executable(tamsu-launcher
    launch/main_linux.cpp
    launch/launcher_run.cpp
    common/trace_linux.cpp
)
target_link_libraries(tamsu-launcher PRIVATE tamsu_linux)
# The C++ runtime is linked in: loading and relocating its shared library cost about 1 ms of a
# run. The C library stays shared, for umockdev's preloaded library to see the calls.
set(TAMSU_LINUX_RUNTIME_LINK $<$<NOT:$<BOOL:${TAMSU_SANITIZE}>>:-static-libstdc++ -static-libgcc>)
target_link_options(tamsu-launcher PRIVATE ${TAMSU_LINUX_RUNTIME_LINK})

add_subdirectory(tests/linux)
