# SPDX-License-Identifier: MIT
# armhf: Debian's arm-linux-gnueabihf cross toolchain, run under qemu-arm.
set(PIN_TRIPLET arm-linux-gnueabihf)
set(PIN_PROCESSOR arm)
set(PIN_QEMU qemu-arm)
set(PIN_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
