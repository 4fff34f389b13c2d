# SPDX-License-Identifier: MIT
# Cross build for 64-bit ARM Linux on a Debian machine with the arm64
# architecture added (dpkg --add-architecture arm64): the compiler from
# g++-aarch64-linux-gnu, the libraries from the :arm64 packages in the
# multiarch directories, Qt's code generators (moc, rcc, uic) from the
# machine's own Qt. Tests and the programs they start run under
# qemu-aarch64-static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and headers only for the target; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the arm64 .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Qt's host tools, found through the build machine's CMake packages.
set(QT_HOST_PATH /usr CACHE PATH "Prefix of the build machine's Qt")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH
    "CMake packages of the build machine's Qt")

find_program(VISTREL_QEMU_AARCH64 qemu-aarch64-static)
if(VISTREL_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VISTREL_QEMU_AARCH64})
endif()
