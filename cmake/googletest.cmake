# SPDX-License-Identifier: MIT
# GoogleTest for the tests: the installed one (Debian: libgtest-dev), or,
# where there is none, built here from its sources (Debian: googletest),
# which is also how a cross build gets one for its CPU. Without either,
# everything else still builds and the tests are off.
set(PIN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources, built where no GoogleTest is installed")
if(BUILD_TESTING)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND AND EXISTS ${PIN_GTEST_SOURCE}/CMakeLists.txt)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${PIN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    set_property(TARGET gtest gtest_main APPEND PROPERTY COMPILE_OPTIONS -Wno-error)  # not our code
  endif()
  if(NOT TARGET GTest::gtest_main)
    message(STATUS "GoogleTest not found: the tests are off (Debian: apt-get install libgtest-dev)")
  endif()
endif()
