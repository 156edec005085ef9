# SPDX-License-Identifier: GPL-2.0-or-later
# Finds LZO 2 and defines the imported target LZO2::LZO2.
#
# pkg-config's lzo2 module first; where pkg-config or its file is missing
# (a vcpkg or hand-built LZO), the header lzo/lzo1x.h and the library
# lzo2 are looked for in CMake's usual places (CMAKE_PREFIX_PATH,
# LZO2_ROOT). Sets LZO2_FOUND, LZO2_INCLUDE_DIR and LZO2_LIBRARY.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_LZO2 QUIET lzo2)
endif()

# The sources include <lzo/lzo1x.h>: the folder above lzo/ is the one
# needed (lzo2.pc's includedir; its Cflags name lzo/ itself).
find_path(LZO2_INCLUDE_DIR lzo/lzo1x.h HINTS ${PC_LZO2_INCLUDEDIR})
find_library(LZO2_LIBRARY NAMES lzo2 liblzo2
             HINTS ${PC_LZO2_LIBDIR} ${PC_LZO2_LIBRARY_DIRS})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(LZO2
  REQUIRED_VARS LZO2_LIBRARY LZO2_INCLUDE_DIR
  VERSION_VAR PC_LZO2_VERSION)
mark_as_advanced(LZO2_INCLUDE_DIR LZO2_LIBRARY)

if(LZO2_FOUND AND NOT TARGET LZO2::LZO2)
  add_library(LZO2::LZO2 UNKNOWN IMPORTED)
  set_target_properties(LZO2::LZO2 PROPERTIES
    IMPORTED_LOCATION "${LZO2_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${LZO2_INCLUDE_DIR}")
endif()
