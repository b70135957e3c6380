# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# Install rules and the files downstream builds use to find the library:
# the CMake package (find_package(kelvane) -> kelvane::kelvane) and
# kelvane.pc. Both locate the installed tree from their own place in it,
# so an install moved to another prefix still works.
include(CMakePackageConfigHelpers)

set(KELVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelvane)
set(KELVANE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(KELVANE_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The installed program finds a shared libkelvane next to it through a
# relative run path, wherever the tree is installed, unless the library
# lands in one of the system's own library folders (as in the Debian
# package), where no run path is wanted.
if(BUILD_SHARED_LIBS)
  list(FIND CMAKE_C_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" system_libdir)
  if(system_libdir EQUAL -1)
    file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_property(TARGET kelvane PROPERTY INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  endif()
endif()

install(TARGETS libkelvane EXPORT kelvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS kelvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES doc/kelvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES doc/kelvane.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
install(FILES share/bash-completion/completions/kelvane
        DESTINATION ${KELVANE_COMPLETIONS_DIR})

# CMake package.
install(EXPORT kelvaneTargets NAMESPACE kelvane:: DESTINATION ${KELVANE_CMAKE_DIR})
configure_package_config_file(cmake/kelvaneConfig.cmake.in kelvaneConfig.cmake
  INSTALL_DESTINATION ${KELVANE_CMAKE_DIR})
write_basic_package_version_file(kelvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelvaneConfig.cmake
              ${PROJECT_BINARY_DIR}/kelvaneConfigVersion.cmake
        DESTINATION ${KELVANE_CMAKE_DIR})

# pkg-config file. Its prefix is the way from the folder that holds it up to
# the install prefix (../.. for lib/pkgconfig, ../../.. for a Debian
# multiarch lib/x86_64-linux-gnu/pkgconfig). A folder set outside the prefix
# is written as it is, and then does not move with the tree.
function(kelvane_pc_path variable dir)
  if(IS_ABSOLUTE "${dir}")
    set(${variable} "${dir}" PARENT_SCOPE)
  else()
    set(${variable} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${KELVANE_PKGCONFIG_DIR}")
  set(KELVANE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH pc_to_prefix ${CMAKE_INSTALL_PREFIX}/${KELVANE_PKGCONFIG_DIR}
       ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  set(KELVANE_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
endif()
kelvane_pc_path(KELVANE_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
kelvane_pc_path(KELVANE_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(cmake/kelvane.pc.in kelvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kelvane.pc DESTINATION ${KELVANE_PKGCONFIG_DIR})
