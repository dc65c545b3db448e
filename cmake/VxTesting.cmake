# vx_add_test(NAME SOURCES... LIBS...): one GoogleTest program per folder.
# On Linux every case is a CTest test of its own; under Wine the program is
# one CTest test, since each start of a Windows process costs a second.
if(VX_BUILD_TESTS)
  enable_testing()
  if(WIN32)
    # Debian's GoogleTest sources, compiled with the cross compiler.
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest REQUIRED)
    include(GoogleTest)
  endif()
endif()

function(vx_add_test name)
  if(NOT VX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(WIN32)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} gtest gmock gtest_main)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "VX_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" TIMEOUT 600)
  else()
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
