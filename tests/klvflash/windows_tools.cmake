# klvflash.exe and klvpkg.exe under Wine against the native klvsim: one ctest test per
# group of cases, each group with a Wine prefix of its own so that groups run side by side.

# The system's refusals of a COM port, which Wine cannot be made to give.
klv_add_gtest(klvflash_port_system_test SOURCES port_system_win32_test.cpp LIBS klv_flash_core
  LABELS klvflash)

if(NOT TARGET klvdrive OR NOT TARGET klvpkg)
  return()
endif()
# klvsim runs on this machine, not under Wine; the native build makes it.
set(KLV_HOST_KLVSIM ${PROJECT_SOURCE_DIR}/build/linux/bin/klvsim CACHE FILEPATH
    "Native klvsim for the end-to-end tests (build the linux preset first)")
execute_process(COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/klvflash_wine_cases.py --list
                OUTPUT_VARIABLE groups OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS klvflash_wine_cases.py)
foreach(group IN LISTS groups)
  add_test(NAME klvflash_wine.${group}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/klvflash_wine_cases.py
            --group ${group}
            --klvflash $<TARGET_FILE:klvflash> --klvpkg $<TARGET_FILE:klvpkg>
            --klvdrive $<TARGET_FILE:klvdrive> --klvsim ${KLV_HOST_KLVSIM}
            --host-klvpkg ${KLV_HOST_KLVPKG}
            --demo ${KLV_DEMO_PACKAGE_FILE} --unusable ${KLV_UNUSABLE_PACKAGE_FILE})
  set_tests_properties(klvflash_wine.${group} PROPERTIES LABELS "klvflash;wine" TIMEOUT 600)
endforeach()
