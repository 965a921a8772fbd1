# Which package the programs embed, the native tools that make packages during the
# build, and klv_embed_package() that puts a package into a program.
include_guard(GLOBAL)

# KLV_PACKAGE names a package of one's own; otherwise res/demo builds the demo package.
# The paths are fixed here, before any program asks for them; res/demo provides the
# targets that make them: klv_embedded_package_file, klv_demo_package,
# klv_unusable_package_file.
set(KLV_DEMO_PACKAGE_FILE ${CMAKE_BINARY_DIR}/res/demo/demo.klvpkg CACHE INTERNAL
    "The demo package, whatever is embedded")
set(KLV_UNUSABLE_PACKAGE_FILE ${CMAKE_BINARY_DIR}/res/demo/unusable.klvpkg CACHE INTERNAL
    "A valid package without image1, which the updater must refuse")
if(KLV_PACKAGE)
  get_filename_component(_klv_package "${KLV_PACKAGE}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
else()
  set(_klv_package ${KLV_DEMO_PACKAGE_FILE})
endif()
set(KLV_EMBEDDED_PACKAGE_FILE ${_klv_package} CACHE INTERNAL "Package the programs embed")
unset(_klv_package)

# The tools that run during the build must run on this machine. A cross build makes
# them with the native compiler in a build of its own (this same tree with
# KLV_HOST_TOOLS_ONLY) under <build>/host-tools.
#   KLV_HOST_KLVPKG, KLV_HOST_MAKE_DEMO_IMAGES: commands for add_custom_command()
#   KLV_HOST_TOOLS_TARGETS, KLV_HOST_TOOLS_FILES: what such a command must depend on
if(CMAKE_CROSSCOMPILING AND NOT KLV_HOST_TOOLS_ONLY)
  include(ExternalProject)
  set(_klv_host_dir ${CMAKE_BINARY_DIR}/host-tools)
  ExternalProject_Add(klv_host_tools
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${_klv_host_dir}
    CMAKE_ARGS -DKLV_HOST_TOOLS_ONLY=ON -DCMAKE_BUILD_TYPE=Release
               -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
               -DKLV_TESTS=OFF -DKLV_BENCHMARKS=OFF
    BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target klvpkg make_demo_images -j 2
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${_klv_host_dir}/bin/klvpkg ${_klv_host_dir}/bin/make_demo_images)
  set(KLV_HOST_KLVPKG ${_klv_host_dir}/bin/klvpkg CACHE INTERNAL "")
  set(KLV_HOST_MAKE_DEMO_IMAGES ${_klv_host_dir}/bin/make_demo_images CACHE INTERNAL "")
  set(KLV_HOST_TOOLS_TARGETS klv_host_tools CACHE INTERNAL "")
  set(KLV_HOST_TOOLS_FILES ${KLV_HOST_KLVPKG} ${KLV_HOST_MAKE_DEMO_IMAGES} CACHE INTERNAL "")
  unset(_klv_host_dir)
else()
  set(KLV_HOST_KLVPKG $<TARGET_FILE:klvpkg> CACHE INTERNAL "")
  set(KLV_HOST_MAKE_DEMO_IMAGES $<TARGET_FILE:make_demo_images> CACHE INTERNAL "")
  set(KLV_HOST_TOOLS_TARGETS klvpkg make_demo_images CACHE INTERNAL "")
  set(KLV_HOST_TOOLS_FILES "" CACHE INTERNAL "")
endif()

# klv_embed_package(<target> [PACKAGE <file> DEPENDS <target-that-makes-it>] [RC_IN_TARGET]
#                   [DAMAGED_ON_PURPOSE])
#
# Puts a package into <target> so that FWPackage::LoadFromResource() finds it, and links
# the real klv_package_resource. Without PACKAGE it is KLV_EMBEDDED_PACKAGE_FILE (the
# demo package, or -DKLV_PACKAGE=FILE), made by klv_embedded_package_file. Call it once
# per program: the product exe, klvflash, the tests of the embedded package; a second
# variant of a program with another package (KLV_UNUSABLE_PACKAGE_FILE, depending on
# klv_unusable_package_file) is one more target with its own call.
#
# Linux: the file is linked in as read-only data by a generated source with .incbin;
#   package_resource_posix.cpp reads its two symbols.
# Windows: a generated .rc with the single line `134 FWRES "<file>"` joins the target's
#   sources; package_resource_win32.cpp finds it with FindResourceW. The product exe
#   calls klv_embed_package() and its own .rc (res/win) leaves FWRES out. A program
#   that carries the FWRES line in its own .rc instead (with KLV_EMBEDDED_PACKAGE_FILE)
#   passes RC_IN_TARGET: then only the library and the dependencies are added.
#
# The package's digest is checked first (`klvpkg verify`): a package whose digest does
# not match its contents was damaged on its way here and fails the build. A package
# without digest passes, as before. Only a test program that must show how a damaged
# package is refused passes DAMAGED_ON_PURPOSE.
function(klv_embed_package target)
  cmake_parse_arguments(ARG "RC_IN_TARGET;DAMAGED_ON_PURPOSE" "PACKAGE;DEPENDS" "" ${ARGN})
  if(NOT ARG_PACKAGE)
    set(ARG_PACKAGE ${KLV_EMBEDDED_PACKAGE_FILE})
    set(ARG_DEPENDS klv_embedded_package_file)
  endif()
  get_filename_component(package "${ARG_PACKAGE}" ABSOLUTE)

  if(WIN32)
    set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_package.rc)
    file(CONFIGURE OUTPUT ${source} CONTENT "134 FWRES \"${package}\"\n" @ONLY)
  else()
    # A C++ file with top-level assembly needs no ASM language in the project.
    set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_package.cpp)
    string(REPLACE "\\" "\\\\\\\\" escaped "${package}")
    string(REPLACE "\"" "\\\\\\\"" escaped "${escaped}")
    file(CONFIGURE OUTPUT ${source} CONTENT [=[
// Made by klv_embed_package(): the firmware package, linked in as read-only data.
__asm__(
    ".pushsection .rodata.klv_embedded_package,\"a\"\n"
    ".balign 16\n"
    ".globl klv_embedded_package_begin\n"
    "klv_embedded_package_begin:\n"
    ".incbin \"@escaped@\"\n"
    ".globl klv_embedded_package_end\n"
    "klv_embedded_package_end:\n"
    ".popsection\n");
]=] @ONLY)
  endif()
  if(NOT (WIN32 AND ARG_RC_IN_TARGET))
    target_sources(${target} PRIVATE ${source})
    set_source_files_properties(${source} TARGET_DIRECTORY ${target}
                                PROPERTIES OBJECT_DEPENDS ${package})
  endif()
  target_link_libraries(${target} PRIVATE klv_package_resource)
  if(ARG_DEPENDS)
    add_dependencies(${target} ${ARG_DEPENDS})
  endif()
  if(NOT ARG_DAMAGED_ON_PURPOSE)
    set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}_package.verified)
    add_custom_command(
      OUTPUT ${stamp}
      COMMAND ${KLV_HOST_KLVPKG} verify ${package}
      COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
      DEPENDS ${package} ${KLV_HOST_TOOLS_TARGETS} ${KLV_HOST_TOOLS_FILES}
      COMMENT "Checking the digest of the package that ${target} embeds"
      VERBATIM)
    add_custom_target(${target}_package_check DEPENDS ${stamp})
    if(ARG_DEPENDS)
      add_dependencies(${target}_package_check ${ARG_DEPENDS})
    endif()
    add_dependencies(${target} ${target}_package_check)
  endif()
endfunction()
