# 32-bit ARM, hard-float ABI (armhf: ARMv7-A with VFPv3-D16 and Thumb-2 by
# Debian's defaults), cross-built on x86-64 Debian 12:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
# Packages: g++-arm-linux-gnueabihf qemu-user, and for the tests
# libgtest-dev:armhf libgmock-dev:armhf libmodbus-dev:armhf libstdc++6:armhf.
set(VELKORD_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VELKORD_QEMU_NAMES qemu-arm qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
