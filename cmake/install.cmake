# SPDX-License-Identifier: GPL-2.0-or-later
# What `cmake --install` puts where. GNUInstallDirs gives the folders, so
# a multiarch libdir (lib/x86_64-linux-gnu) is kept:
#   ${libdir}/libKvMorvelM64.so.1.1.0 and its links .so.1 and .so
#   ${includedir}/kvmorvel/          the public headers
#   ${libdir}/cmake/KvMorvel/        find_package(KvMorvel):
#                                    the target KvMorvel::KvMorvelM64
#   ${libdir}/pkgconfig/kvmorvel.pc  pkg-config kvmorvel
#   ${bindir}/kvmorvel and ${mandir}/man1/kvmorvel.1 (with the tools)
#   ${libdir}/${KVMORVEL_MODULE_FOLDER}/virtdisk.dll, the mount library,
#                                    in the library's private folder
include(CMakePackageConfigHelpers)

set(KVMORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KvMorvel)
install(TARGETS KvMorvelM64 EXPORT KvMorvelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kvmorvel)
install(EXPORT KvMorvelTargets NAMESPACE KvMorvel::
        DESTINATION ${KVMORVEL_CMAKE_DIR})
configure_package_config_file(cmake/KvMorvelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/KvMorvelConfig.cmake
  INSTALL_DESTINATION ${KVMORVEL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/KvMorvelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/KvMorvelConfig.cmake
              ${CMAKE_BINARY_DIR}/KvMorvelConfigVersion.cmake
        DESTINATION ${KVMORVEL_CMAKE_DIR})

# pkg-config: the library is shared, so its own dependencies are needed
# only for a static link (Requires.private). The prefix is found from
# where the file itself lies (${pcfiledir}), so the installed tree can be
# moved and `cmake --install --prefix` needs nothing written at install
# time; an absolute libdir or includedir is kept as it is.
if(NOT WIN32)
  set(KVMORVEL_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  if(IS_ABSOLUTE "${KVMORVEL_PC_DIR}")
    set(KVMORVEL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  else()
    file(RELATIVE_PATH up "/root/${KVMORVEL_PC_DIR}" "/root")
    set(KVMORVEL_PC_PREFIX "\${pcfiledir}/${up}")
    string(REGEX REPLACE "/$" "" KVMORVEL_PC_PREFIX "${KVMORVEL_PC_PREFIX}")
  endif()
  foreach(dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
      set(KVMORVEL_PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
      set(KVMORVEL_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
  endforeach()
  configure_file(cmake/kvmorvel.pc.in ${CMAKE_BINARY_DIR}/kvmorvel.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/kvmorvel.pc DESTINATION ${KVMORVEL_PC_DIR})
endif()

if(KVMORVEL_BUILD_TOOLS AND NOT WIN32)
  install(TARGETS kvmorvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS virtdisk LIBRARY DESTINATION
          ${CMAKE_INSTALL_LIBDIR}/${KVMORVEL_MODULE_FOLDER})
  install(FILES docs/kvmorvel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
