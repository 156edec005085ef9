# SPDX-License-Identifier: GPL-2.0-or-later
# What `cmake --install` puts where (GNUInstallDirs, so a multiarch
# libdir such as lib/x86_64-linux-gnu is kept).
install(TARGETS KvMorvelM64 LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(KVMORVEL_BUILD_TOOLS)
  install(TARGETS virtdisk LIBRARY DESTINATION
          ${CMAKE_INSTALL_LIBDIR}/${KVMORVEL_MODULE_FOLDER})
  install(TARGETS kvmorvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
