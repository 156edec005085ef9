# SPDX-License-Identifier: GPL-2.0-or-later
# Programs of the Windows cross build: the test programs, run under wine64
# by CTest (make check-windows), the DLL's own host checks and the command.
#
# The mount library, the image packer and the image tests need libarchive,
# which has no Windows package: they stay Linux-only, and so do the tests
# of the Linux layer itself (tests/platform).

# GoogleTest from the source Debian ships in its googletest package.
set(KVMORVEL_GTEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest source (Debian's googletest package)")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${KVMORVEL_GTEST_SOURCE} googletest EXCLUDE_FROM_ALL)

enable_testing()
include(GoogleTest)
set(KVMORVEL_WINDOWS_TEST_DIRS archive v1v2 v5 restore)
file(GLOB support_sources CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/tests/support/*.cc)
foreach(name ${KVMORVEL_WINDOWS_TEST_DIRS})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${name}/*.cc)
  # The durability tests drive the Linux layer's fault switch.
  list(REMOVE_ITEM sources
       ${CMAKE_SOURCE_DIR}/tests/archive/durability_test.cc)
  add_executable(test_${name} ${sources} ${support_sources})
  target_include_directories(test_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(test_${name} PRIVATE kvcore gtest_main)
  # Discovery runs the program under Wine too, so it waits for the test
  # run (PRE_TEST): at build time several links would start Wine at once
  # on a prefix not made yet, and the first start of a prefix is slow.
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 120
                       DISCOVERY_MODE PRE_TEST
                       PROPERTIES TIMEOUT 600)
endforeach()

# A host of the DLL, linked against its import library (wmain: -municode).
add_executable(dll_host tools/windows/dll_host.cc)
target_link_libraries(dll_host PRIVATE KvMorvelM64)
target_link_options(dll_host PRIVATE -municode)

# Checks run under Wine by scripts: the export table against the member
# list, the DLL's attach and log file through the host, and archives
# crossing between the Linux build (KVMORVEL_LINUX_BUILD, default build/)
# and Wine.
add_test(NAME windows_exports
         COMMAND sh ${CMAKE_SOURCE_DIR}/tools/check-exports.sh
                 $<TARGET_FILE:KvMorvelM64>)
add_test(NAME windows_dll_host
         COMMAND sh ${CMAKE_SOURCE_DIR}/tools/windows/host-checks.sh
                 ${CMAKE_BINARY_DIR})
add_test(NAME windows_crossover
         COMMAND sh ${CMAKE_SOURCE_DIR}/tools/windows/crossover.sh
                 ${CMAKE_BINARY_DIR})
set_tests_properties(windows_crossover PROPERTIES TIMEOUT 900)

# kvmorvel.exe: the command, on the DLL; the per-system files
# (tools/kvmorvel/*_windows.cc) hold what differs from Linux. mkimage
# needs libarchive and stays Linux-only.
file(GLOB KVMORVEL_TOOL_SOURCES CONFIGURE_DEPENDS tools/kvmorvel/*.cc)
list(REMOVE_ITEM KVMORVEL_TOOL_SOURCES
     ${CMAKE_SOURCE_DIR}/tools/kvmorvel/mkimage.cc)
add_executable(kvmorvel ${KVMORVEL_TOOL_SOURCES})
target_link_libraries(kvmorvel PRIVATE KvMorvelM64)
target_include_directories(kvmorvel PRIVATE src/platform src)
target_link_options(kvmorvel PRIVATE -municode)
# MinGW's <time.h> declares localtime_r (text.cc) only when asked for the
# POSIX thread-safe functions.
target_compile_definitions(kvmorvel PRIVATE _POSIX_THREAD_SAFE_FUNCTIONS
                           KVMORVEL_VERSION="${PROJECT_VERSION}")
