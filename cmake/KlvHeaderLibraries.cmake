# CLI11 and nlohmann/json are header-only. The native build finds them as Debian installs
# them. The cross build cannot search /usr/include (it holds the build machine's system
# headers), so it sees the two libraries through a folder of its own that holds nothing
# but links to their two header folders, and gets the same imported targets from it.
# Include this file where the targets are needed (imported targets of a native search are
# visible in that folder only).

if(NOT CMAKE_CROSSCOMPILING)
  find_package(nlohmann_json REQUIRED)
  find_package(CLI11 QUIET CONFIG)
  return()
endif()

set(_klv_headers ${CMAKE_BINARY_DIR}/header-libraries/include)
file(MAKE_DIRECTORY ${_klv_headers})
foreach(entry "CLI=CLI11::CLI11" "nlohmann=nlohmann_json::nlohmann_json")
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 folder)
  list(GET entry 1 target)
  if(NOT EXISTS /usr/include/${folder})
    message(FATAL_ERROR "/usr/include/${folder} is missing: install libcli11-dev and nlohmann-json3-dev")
  endif()
  if(NOT EXISTS ${_klv_headers}/${folder})
    file(CREATE_LINK /usr/include/${folder} ${_klv_headers}/${folder} SYMBOLIC)
  endif()
  if(NOT TARGET ${target})
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    # SYSTEM: their own warnings are not ours.
    set_target_properties(${target} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${_klv_headers}
                                               INTERFACE_INCLUDE_DIRECTORIES ${_klv_headers})
  endif()
endforeach()
unset(_klv_headers)
