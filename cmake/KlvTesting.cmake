# Test helpers shared by every tests/ folder.
#
# klv_add_gtest(target SOURCES... [LIBS ...] [LABELS ...])
#   Natively each GoogleTest case becomes its own ctest test. In the cross build each
#   test program is one ctest test run under Wine: listing the cases would start Wine
#   once more for every program.

macro(klv_find_gtest)
  if(CMAKE_CROSSCOMPILING)
    # Debian ships GoogleTest as sources too; build them once with the cross compiler.
    # Its own build file defines the GTest:: aliases.
    if(NOT TARGET gtest)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
    endif()
    foreach(lib gtest gtest_main gmock gmock_main)
      if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
      endif()
    endforeach()
  elseif(NOT TARGET GTest::gtest)
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
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
