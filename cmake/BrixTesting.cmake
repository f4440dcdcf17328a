# Test helpers: GoogleTest from Debian on Linux, built from its sources for Windows.
if(CMAKE_CROSSCOMPILING)
  set(BRIX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)  # the tests use GoogleTest alone
  add_subdirectory(${BRIX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own sources are not ours to keep warning-free.
  foreach(t gtest gtest_main)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -w)
    endif()
  endforeach()
  set(BRIX_GTEST_LIBS gtest)
else()
  find_package(GTest REQUIRED)
  set(BRIX_GTEST_LIBS GTest::gtest)
endif()
include(GoogleTest)

# brix_add_test(NAME SOURCES a.cpp ... LIBS lib ... [TIMEOUT s] [TEST_PREFIX p.]
#               [TEST_FILTER gtest-filter] [RESOURCE_LOCK name] [PROPERTIES name value ...])
# One executable per unit under test, with the shared test main (which starts
# Windows Sockets on Windows); every TEST becomes a ctest entry, its name prefixed with
# TEST_PREFIX (for one test source built into several executables), only those TEST_FILTER
# selects (a --gtest_filter pattern; default all), and given the extra
# ctest PROPERTIES. RESOURCE_LOCK keeps the tests of every executable naming the same lock from
# running in parallel: tests that use the Service Control Manager's service "BRIx" take
# "scm_BRIx", tests that use or restart the database server take "brix_database".
function(brix_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT;TEST_PREFIX;TEST_FILTER;RESOURCE_LOCK"
                        "SOURCES;LIBS;PROPERTIES"
                        ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE brix_test_support ${ARG_LIBS} ${BRIX_GTEST_LIBS})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(lock_property)
  if(ARG_RESOURCE_LOCK)
    set(lock_property RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
  endif()
  if(NOT ARG_TEST_FILTER)
    set(ARG_TEST_FILTER "*")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       TEST_PREFIX "${ARG_TEST_PREFIX}" TEST_FILTER "${ARG_TEST_FILTER}"
                       PROPERTIES TIMEOUT ${ARG_TIMEOUT}
                                  SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
                                  ${lock_property} ${ARG_PROPERTIES})
endfunction()
