# Linux on 32-bit ARM with hardware floating point (Debian armhf: ARMv7-A):
# `make package-armhf`.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(WIRETEST_CROSS_TRIPLE arm-linux-gnueabihf)
set(WIRETEST_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
