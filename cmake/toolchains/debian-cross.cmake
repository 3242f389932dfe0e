# SPDX-License-Identifier: MIT
# Cross-building with Debian's cross toolchains (g++-<triplet>), the C
# library of the target under /usr/<triplet>, and qemu-user to run what is
# built. Each CPU's file sets PIN_TRIPLET, PIN_PROCESSOR, PIN_QEMU and
# PIN_DEB_ARCH and includes this one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${PIN_PROCESSOR})
set(CMAKE_C_COMPILER ${PIN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PIN_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PIN_TRIPLET})
# Libraries install in the CPU's multiarch folder, as a native build's do.
set(CMAKE_INSTALL_LIBDIR lib/${PIN_TRIPLET})

set(CMAKE_FIND_ROOT_PATH /usr/${PIN_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and test discovery run under qemu-user, with the target's own
# libraries: without -E LD_LIBRARY_PATH an i386 program would mix in the
# host's 32-bit C library.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${PIN_QEMU} -L /usr/${PIN_TRIPLET} -E LD_LIBRARY_PATH=/usr/${PIN_TRIPLET}/lib)

# The Debian package is for the target's architecture, not the host's.
# Its dependencies are stated by hand: worked out against the cross
# libraries, they would name the cross packages (libc6:arm64,
# libgcc-s1-arm64-cross), which a machine of that CPU does not have. These
# are the packages and versions the cross toolchain's own records give.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PIN_DEB_ARCH})
set(PIN_DEB_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.36), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
