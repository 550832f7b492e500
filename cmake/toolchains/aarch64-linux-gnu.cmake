# 64-bit ARM (arm64, ARMv8-A), cross-built on x86-64 Debian 12:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# Packages: g++-aarch64-linux-gnu qemu-user, and for the tests
# libgtest-dev:arm64 libgmock-dev:arm64 libmodbus-dev:arm64 libstdc++6:arm64.
set(VELKORD_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELKORD_QEMU_NAMES qemu-aarch64 qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
