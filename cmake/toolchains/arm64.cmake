# SPDX-License-Identifier: MIT
# arm64: Debian's aarch64-linux-gnu cross toolchain, run under qemu-aarch64.
set(PIN_TRIPLET aarch64-linux-gnu)
set(PIN_PROCESSOR aarch64)
set(PIN_QEMU qemu-aarch64)
set(PIN_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
