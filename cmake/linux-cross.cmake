# Cross-build for Linux on another processor with Debian's cross toolchain
# (crossbuild-essential-ARCH) and the target's libraries installed beside the
# host's by multiarch (dpkg --add-architecture ARCH): included by
# linux-arm64.cmake and linux-armhf.cmake, which name the triple first.
# Debian's cross compilers search the multiarch folders of their own
# triple (/usr/lib/TRIPLE, /usr/include/TRIPLE) and /usr/include, so header-only
# packages of the host serve the target as they are.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${WIRETEST_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${WIRETEST_CROSS_TRIPLE}-g++)
set(CMAKE_STRIP ${WIRETEST_CROSS_TRIPLE}-strip)

# pkg-config reads the target's .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${WIRETEST_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Programs of the build run under qemu's user-mode emulation, with the
# target's multiarch libraries (gtest_discover_tests, try_run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${WIRETEST_CROSS_QEMU})
