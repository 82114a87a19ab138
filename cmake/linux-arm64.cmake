# Linux on 64-bit ARM (Debian arm64, 64-bit Raspberry Pi OS): `make package-arm64`.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(WIRETEST_CROSS_TRIPLE aarch64-linux-gnu)
set(WIRETEST_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
