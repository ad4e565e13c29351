# GoogleTest for the test suites. Built from its sources where they are
# (KEL_GTEST_SOURCE_DIR), so that the Windows and sanitizer builds get a
# GoogleTest made with their own compiler and flags; otherwise an installed
# GTest package. A parent project that has GTest::gtest_main already keeps it.
if(TARGET GTest::gtest_main)
  return()
endif()
set(kel_gtest_default "")
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(kel_gtest_default /usr/src/googletest)
endif()
set(KEL_GTEST_SOURCE_DIR "${kel_gtest_default}" CACHE PATH
    "GoogleTest sources to build the tests with; empty: find_package(GTest)")
if(KEL_GTEST_SOURCE_DIR)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KEL_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
