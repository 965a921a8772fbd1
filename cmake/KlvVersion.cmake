# The version every program and release artifact carries: the project version and the
# commit the build came from.
#
# Included from the top CMakeLists.txt, it defines
#   klv_version          an INTERFACE library: link it and #include "klv_version.h"
#   klv_version_header   the target that refreshes the header (every build, not only at
#                        configure time: a new commit or an edit must show without a
#                        fresh configure)
#   KLV_VERSION_HEADER   <build>/generated/klv_version.h
#   KLV_VERSION_FILE     <build>/generated/klv_version.txt, the same facts for scripts:
#                        lines "version=", "commit=", "epoch=" (the commit's time, for
#                        SOURCE_DATE_EPOCH)
#
# The header holds
#   KLV_VERSION                  "1.2.3"
#   KLV_VERSION_MAJOR/MINOR/PATCH  numbers, for the Windows VERSIONINFO
#   KLV_COMMIT                   "0123456789ab", "0123456789ab-dirty" when tracked files
#                                differ from the commit, "unknown" outside a git checkout
#   KLV_VERSION_AND_COMMIT       "1.2.3 (commit 0123456789ab)", a single literal, for
#                                the VALUE lines of the Windows resource file
#   KLV_VERSION_LINE(tool)       tool " 1.2.3 (commit 0123456789ab)", what --version prints
#
# Run as a script (cmake -P) it writes the two files; only when their text changes, so
# that an unchanged commit rebuilds nothing.

if(CMAKE_SCRIPT_MODE_FILE)
  # --- script mode: KLV_SOURCE_DIR, KLV_OUT_DIR, KLV_VERSION, KLV_VERSION_MAJOR/MINOR/PATCH
  cmake_policy(VERSION 3.25)
  set(commit "unknown")
  set(epoch "")
  find_program(_klv_git git)
  if(_klv_git)
    # Only a checkout of this very tree counts: a copy of the sources unpacked inside
    # some other repository must not take that repository's commit.
    execute_process(COMMAND ${_klv_git} -C ${KLV_SOURCE_DIR} rev-parse --show-toplevel
                    OUTPUT_VARIABLE top RESULT_VARIABLE failed
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT failed)
      file(REAL_PATH "${top}" top)
      file(REAL_PATH "${KLV_SOURCE_DIR}" source)
    endif()
    if(NOT failed AND top STREQUAL source)
      execute_process(COMMAND ${_klv_git} -C ${KLV_SOURCE_DIR} rev-parse --short=12 HEAD
                      OUTPUT_VARIABLE hash RESULT_VARIABLE failed
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(NOT failed AND hash MATCHES "^[0-9a-f]+$")
        set(commit ${hash})
        execute_process(COMMAND ${_klv_git} -C ${KLV_SOURCE_DIR} log -1 --format=%ct HEAD
                        OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        # Changes to tracked files, staged or not; files git does not know of are not a
        # change of the tree (the build folder is one of them).
        execute_process(COMMAND ${_klv_git} -C ${KLV_SOURCE_DIR} status --porcelain
                                --untracked-files=no
                        OUTPUT_VARIABLE changes RESULT_VARIABLE failed ERROR_QUIET)
        if(failed OR NOT changes STREQUAL "")
          string(APPEND commit "-dirty")
        endif()
      endif()
    endif()
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    # No commit to date the build by: an outside SOURCE_DATE_EPOCH, else the earliest
    # time a zip file can hold (1980-01-01), never the clock.
    if("$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
      set(epoch "$ENV{SOURCE_DATE_EPOCH}")
    else()
      set(epoch 315532800)
    endif()
  endif()

  set(header "// Made by cmake/KlvVersion.cmake at build time; do not edit.
#pragma once
#define KLV_VERSION \"${KLV_VERSION}\"
#define KLV_VERSION_MAJOR ${KLV_VERSION_MAJOR}
#define KLV_VERSION_MINOR ${KLV_VERSION_MINOR}
#define KLV_VERSION_PATCH ${KLV_VERSION_PATCH}
#define KLV_COMMIT \"${commit}\"
#define KLV_VERSION_AND_COMMIT \"${KLV_VERSION} (commit ${commit})\"
#define KLV_VERSION_LINE(tool) tool \" \" KLV_VERSION_AND_COMMIT
")
  set(facts "version=${KLV_VERSION}\ncommit=${commit}\nepoch=${epoch}\n")
  foreach(pair "klv_version.h;header" "klv_version.txt;facts")
    list(GET pair 0 name)
    list(GET pair 1 var)
    set(path ${KLV_OUT_DIR}/${name})
    set(old "")
    if(EXISTS ${path})
      file(READ ${path} old)
    endif()
    if(NOT old STREQUAL "${${var}}")
      file(WRITE ${path} "${${var}}")
    endif()
  endforeach()
  return()
endif()

# --- configure mode
include_guard(GLOBAL)
set(KLV_VERSION_DIR ${CMAKE_BINARY_DIR}/generated)
set(KLV_VERSION_HEADER ${KLV_VERSION_DIR}/klv_version.h)
set(KLV_VERSION_FILE ${KLV_VERSION_DIR}/klv_version.txt)
set(_klv_version_command
    ${CMAKE_COMMAND} -DKLV_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DKLV_OUT_DIR=${KLV_VERSION_DIR}
    -DKLV_VERSION=${PROJECT_VERSION} -DKLV_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    -DKLV_VERSION_MINOR=${PROJECT_VERSION_MINOR} -DKLV_VERSION_PATCH=${PROJECT_VERSION_PATCH}
    -P ${CMAKE_CURRENT_LIST_FILE})
file(MAKE_DIRECTORY ${KLV_VERSION_DIR})
# Once now, so that the files exist for whatever reads them at configure time.
execute_process(COMMAND ${_klv_version_command} COMMAND_ERROR_IS_FATAL ANY)
# A custom target is always out of date: the script runs at every build, and Ninja
# looks again at the byproducts' times (restat), so an unchanged header rebuilds nothing.
add_custom_target(klv_version_header
  COMMAND ${_klv_version_command}
  BYPRODUCTS ${KLV_VERSION_HEADER} ${KLV_VERSION_FILE}
  COMMENT "Checking the commit the build comes from"
  VERBATIM)
add_library(klv_version INTERFACE)
target_include_directories(klv_version INTERFACE ${KLV_VERSION_DIR})
add_dependencies(klv_version klv_version_header)
unset(_klv_version_command)

# The version resource of a Windows command-line tool: the shared .rc file reads the
# tool's name and description from a header of the tool's own.
function(klv_tool_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_identity)
  file(CONFIGURE OUTPUT ${dir}/tool_identity.h
       CONTENT "#define KLV_TOOL_NAME \"${target}\"\n#define KLV_TOOL_DESCRIPTION \"${description}\"\n")
  set(rc ${PROJECT_SOURCE_DIR}/res/win/tool_version.rc)
  target_sources(${target} PRIVATE ${rc})
  target_include_directories(${target} PRIVATE ${dir})
  target_link_libraries(${target} PRIVATE klv_version)
  set_source_files_properties(${rc} TARGET_DIRECTORY ${target} PROPERTIES
                              OBJECT_DEPENDS "${KLV_VERSION_HEADER};${dir}/tool_identity.h")
endfunction()
