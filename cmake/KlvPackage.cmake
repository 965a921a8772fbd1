# Which package the programs embed, and how it gets into them.
include_guard(GLOBAL)

# KLV_PACKAGE names a package of one's own; otherwise res/demo builds the demo package.
# The path is fixed here, before any program asks for it; the target
# klv_embedded_package_file (res/demo) produces or checks the file.
if(KLV_PACKAGE)
  get_filename_component(_klv_package "${KLV_PACKAGE}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
else()
  set(_klv_package ${CMAKE_BINARY_DIR}/res/demo/demo.klvpkg)
endif()
set(KLV_EMBEDDED_PACKAGE_FILE ${_klv_package} CACHE INTERNAL "Package the programs embed")
unset(_klv_package)
