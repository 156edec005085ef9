# SPDX-License-Identifier: GPL-2.0-or-later
# Libraries and link settings of the Windows cross build (make windows).
#
# The library and every program link the GCC runtime and winpthread
# statically, so KvMorvelM64.dll and the programs need only system DLLs.
# zlib is Debian's libz-mingw-w64-dev, linked statically. LZO 2 is built
# from Debian's lzo2 source by tools/windows/build-lzo.sh into
# KVMORVEL_LZO_PREFIX.
add_link_options(-static -static-libgcc -static-libstdc++)

set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

set(KVMORVEL_LZO_PREFIX "${CMAKE_BINARY_DIR}/deps/lzo" CACHE PATH
    "LZO 2 built for Windows (tools/windows/build-lzo.sh)")
if(NOT EXISTS "${KVMORVEL_LZO_PREFIX}/lib/liblzo2.a")
  message(FATAL_ERROR "No LZO for Windows in ${KVMORVEL_LZO_PREFIX}: run "
                      "sh tools/windows/build-lzo.sh ${KVMORVEL_LZO_PREFIX}")
endif()
add_library(kvlzo INTERFACE)
target_include_directories(kvlzo SYSTEM INTERFACE
                           "${KVMORVEL_LZO_PREFIX}/include")
target_link_libraries(kvlzo INTERFACE "${KVMORVEL_LZO_PREFIX}/lib/liblzo2.a")

# CTest runs the programs under wine64 in a prefix inside the build.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_SOURCE_DIR}/tools/windows/wine-run.sh"
    "${CMAKE_BINARY_DIR}/wineprefix")

# The shell helpers (PathStripToRootW, PathRemoveFileSpecW,
# PathFileExistsW) come from shlwapi; SHCreateDirectory from shell32;
# the relative open (NtCreateFile, RtlNtStatusToDosError) from ntdll.
function(kvmorvel_windows_core target)
  target_link_libraries(${target} PUBLIC shlwapi shell32 advapi32 ntdll)
endfunction()

# KvMorvelM64.dll and its import library libKvMorvelM64.dll.a. Only what
# the public header marks for export leaves it (__declspec(dllexport)
# turns MinGW's export-everything default off).
function(kvmorvel_windows_library target)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME
                        "KvMorvelM64")
endfunction()
