# Cross-build for the station's AArch64 board with Debian's cross toolchain
# (crossbuild-essential-arm64) and the arm64 libraries installed beside the
# host's (dpkg --add-architecture arm64):
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# The binaries then need the GLIBC of Debian 12 (2.36). For a board
# whose C library is older, build against the board SDK's sysroot instead:
#
#   -DCMAKE_SYSROOT=/opt/board-sdk/sysroot
#
# which also becomes the root that libraries, headers and pkg-config files
# are found under. With qemu-user installed, the tests run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(CMAKE_SYSROOT)
    set(CMAKE_FIND_ROOT_PATH ${CMAKE_SYSROOT})
    set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
    set(ENV{PKG_CONFIG_LIBDIR}
        "${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
else()
    # Debian's multiarch libraries live under /usr/lib/aarch64-linux-gnu, the
    # cross C library under /usr/aarch64-linux-gnu. There is no aarch64
    # pkg-config wrapper, so pkg-config is pointed at the arm64 files.
    set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
    set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No -L for qemu with Debian's libraries: the cross loader would meet the
# multiarch C library and every thread creation hangs. With a sysroot the
# loader and the libraries come from it.
find_program(STATION_QEMU qemu-aarch64)
if(STATION_QEMU)
    if(CMAKE_SYSROOT)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${STATION_QEMU} -L ${CMAKE_SYSROOT})
    else()
        set(CMAKE_CROSSCOMPILING_EMULATOR ${STATION_QEMU})
    endif()
endif()
