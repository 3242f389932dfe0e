# SPDX-License-Identifier: MIT
# i386: Debian's i686-linux-gnu cross toolchain, run under qemu-i386.
set(PIN_TRIPLET i686-linux-gnu)
set(PIN_PROCESSOR i686)
set(PIN_QEMU qemu-i386)
set(PIN_DEB_ARCH i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
