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
  # Discovery runs the program under Wine too; the first start of a
  # prefix is slow.
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 600)
endforeach()
