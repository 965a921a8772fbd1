# Test helpers shared by every tests/ folder.
#
# klv_add_gtest(target SOURCES... [LIBS ...] [LABELS ...])
#   Natively each GoogleTest case becomes its own ctest test. In the cross build each
#   test program is one ctest test run under Wine: listing the cases would start Wine
#   once more for every program.

set(KLV_GTEST_READY OFF)
macro(klv_find_gtest)
  if(NOT KLV_GTEST_READY)
    if(CMAKE_CROSSCOMPILING)
      # Debian ships GoogleTest as sources too; build them with the cross compiler.
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
      set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
      add_library(GTest::gmock ALIAS gmock)
      add_library(GTest::gmock_main ALIAS gmock_main)
    else()
      find_package(GTest REQUIRED)
    endif()
    include(GoogleTest)
    set(KLV_GTEST_READY ON)
  endif()
endmacro()

function(klv_add_gtest target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  klv_find_gtest()
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target})
    if(ARG_LABELS)
      set_tests_properties(${target} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
