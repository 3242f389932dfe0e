# SPDX-License-Identifier: MIT
# Installation, the CMake package, pkg-config and the Debian package.
#
# Everything installs under the name ttypinpad: libttypinpad.{a,so},
# include/ttypinpad/pin.h and pin.hpp, lib/cmake/ttypinpad, ttypinpad.pc,
# the CMake targets ttypinpad::pin (shared) and ttypinpad::pin_static,
# the manual pages and share/doc/ttypinpad/copyright.
include(CMakePackageConfigHelpers)

set(PIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${PROJECT_NAME})

install(TARGETS pin pin_shared EXPORT ${PROJECT_NAME}-targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${PROJECT_NAME})
install(TARGETS exPin virtual-pad RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vpad-guest)  # virtual-pad --uart's agent, which the tool finds beside it
  install(TARGETS vpad-guest RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/${PROJECT_NAME})
  install(PROGRAMS scripts/guest-kernel DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/${PROJECT_NAME})
endif()
install(FILES man/exPin.1 man/virtual-pad.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES man/ttypinpad.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
foreach(name vOpenPin vOpenPinAt vClosePin vGetPinBuf vGetPinEntry)
  install(FILES man/links/${name}.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
endforeach()
# The licence, in the machine-readable form Debian's packages carry.
install(FILES cmake/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(EXPORT ${PROJECT_NAME}-targets NAMESPACE ${PROJECT_NAME}:: DESTINATION ${PIN_CMAKE_DIR})
configure_package_config_file(cmake/config.cmake.in ${PROJECT_NAME}-config.cmake INSTALL_DESTINATION ${PIN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_NAME}-config-version.cmake COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}-config-version.cmake
  DESTINATION ${PIN_CMAKE_DIR})

# The .pc file finds its prefix from where it lies, so an installed tree
# can be moved (a staging folder, a package) and still be right.
file(RELATIVE_PATH PIN_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PIN_PC_TO_PREFIX "${PIN_PC_TO_PREFIX}")
configure_file(cmake/pkg-config.pc.in ${PROJECT_NAME}.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${PROJECT_NAME}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "ttypinpad maintainers")
set(CPACK_PACKAGE_CONTACT "ttypinpad maintainers <maintainers@users.noreply.c-seed-405a0261.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver and console program for a numeric PIN pad on /dev/ttyS0")
set(CPACK_PACKAGE_DESCRIPTION "A small driver for a numeric PIN pad on the first serial port, as a static
and a shared C library with its header, CMake package and pkg-config file;
exPin, a console program that reads one PIN entry and prints it; and
virtual-pad, which runs a program against a pretend pad so that it can be
tried and tested without one.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Dependencies worked out from the binaries, but where a cross build
# states them (see cmake/toolchains).
if(NOT DEFINED PIN_DEB_SHLIBDEPS)
  set(PIN_DEB_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ${PIN_DEB_SHLIBDEPS})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
