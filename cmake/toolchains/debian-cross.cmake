# Shared part of the ARM toolchain files: Debian's cross compiler for
# VELKORD_CROSS_TRIPLE, target libraries from Debian multiarch (installed as
# package:armhf / package:arm64 into /usr/lib/<triple>), and qemu-user to run
# what was built, so that test discovery and ctest work on an x86-64 host.
#
# The including file sets VELKORD_CROSS_TRIPLE, CMAKE_SYSTEM_PROCESSOR and
# VELKORD_QEMU_NAMES before it includes this one.

set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${VELKORD_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELKORD_CROSS_TRIPLE}-g++)

# Multiarch keeps the target's libraries beside the host's under /usr/lib,
# each in its own triple folder, and the headers in the shared /usr/include.
# No find root: the re-rooting would hide /usr/lib/<triple>; the triple folder
# is searched first, and host libraries live in a folder of their own triple.
set(CMAKE_LIBRARY_ARCHITECTURE ${VELKORD_CROSS_TRIPLE})

# pkg-config must describe the target's libmodbus, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${VELKORD_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Debian 12's qemu-user installs /usr/bin/qemu-<cpu>, qemu-user-static
# /usr/bin/qemu-<cpu>-static; either serves.
#
# -L names the root under which qemu looks for the target's dynamic loader and
# libraries. The loader and the C library must come from the same package
# build, or a program crashes as soon as it starts a thread. The multiarch
# libc6:<arch> that the test libraries pull in is usually a newer point
# release than the cross compiler's libc6-<arch>-cross in /usr/<triple>, and
# the loader looks in /lib/<triple> before /lib: with multiarch installed the
# loader must come from it too (root /), otherwise from the cross package.
find_program(VELKORD_QEMU NAMES ${VELKORD_QEMU_NAMES} NO_CMAKE_FIND_ROOT_PATH)
if(EXISTS /usr/lib/${VELKORD_CROSS_TRIPLE}/libc.so.6)
  set(VELKORD_QEMU_ROOT /)
else()
  set(VELKORD_QEMU_ROOT /usr/${VELKORD_CROSS_TRIPLE})
endif()
if(VELKORD_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKORD_QEMU} -L ${VELKORD_QEMU_ROOT})
endif()
