# SPDX-License-Identifier: MIT
# s390x: Debian's s390x-linux-gnu cross toolchain, run under qemu-s390x.
set(PIN_TRIPLET s390x-linux-gnu)
set(PIN_PROCESSOR s390x)
set(PIN_QEMU qemu-s390x)
set(PIN_DEB_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
