# The native Linux launcher.
#
# tamsu_linux holds the Linux half except the entry and the trace channel, so that tests (and
# fuzzers) can link it with a trace of their own: the descriptor scanner, the sysfs-to-path
# mapping, the sysfs pass, the platform layer, text conversion and elevation.
add_library(tamsu_linux STATIC
    detect/report_descriptor.cpp
    detect/hid_sysfs_map.cpp
    detect/hid_scan_linux.cpp
    launch/platform_linux.cpp
    launch/text_linux.cpp
    launch/elevation_linux.cpp
)
target_include_directories(tamsu_linux PUBLIC detect launch)
target_link_libraries(tamsu_linux PUBLIC tamsu_core)

# Dynamically linked on purpose: umockdev fakes sysfs by preloading a library.
add_executable(tamsu-launcher
    launch/main_linux.cpp
    launch/launcher_run.cpp
    launch/trace_linux.cpp
)
target_link_libraries(tamsu-launcher PRIVATE tamsu_linux)
# The C++ runtime is linked in: loading and relocating its shared library cost about 1 ms of a
# run. The C library stays shared, for umockdev's preloaded library to see the calls.
set(TAMSU_LINUX_RUNTIME_LINK $<$<NOT:$<BOOL:${TAMSU_SANITIZE}>>:-static-libstdc++ -static-libgcc>)
target_link_options(tamsu-launcher PRIVATE ${TAMSU_LINUX_RUNTIME_LINK})

add_subdirectory(tests/linux)
