# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# Install rules and the files downstream builds use to find the library:
# the CMake package (find_package(kelvane) -> kelvane::kelvane) and
# kelvane.pc. Both locate the installed tree from their own place in it,
# so an install moved to another prefix still works.
include(CMakePackageConfigHelpers)

set(KELVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelvane)
set(KELVANE_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# Where each shell looks for completions that come with a package.
set(KELVANE_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
set(KELVANE_ZSH_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
set(KELVANE_FISH_COMPLETIONS_DIR ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)

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

# Each rule names the package its files go to (cmake/package.cmake): the
# shared library alone in "library", the files to build against it in
# "development", the program with its page and completions in "program".
# A plain `cmake --install` installs them all, and the plain manual pages
# (component "manual"); the packages carry the pages compressed instead.
install(TARGETS libkelvane EXPORT kelvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
          NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(TARGETS kelvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
# A stripped install (`cmake --install --strip`, and the packages) also
# drops the compiler's .comment and .note sections, and strips a static
# library of its debugging information, as Debian's packages do.
function(kelvane_strip_more component file)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" ${ARGN} --remove-section=.comment
                              --remove-section=.note \"\$ENV{DESTDIR}${file}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()" COMPONENT ${component})
endfunction()
set(library_file "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:libkelvane>")
if(BUILD_SHARED_LIBS)
  kelvane_strip_more(library "${library_file}")
else()
  kelvane_strip_more(development "${library_file}" --strip-debug --enable-deterministic-archives)
endif()
kelvane_strip_more(program "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/kelvane")
install(FILES share/bash-completion/completions/kelvane
        DESTINATION ${KELVANE_COMPLETIONS_DIR} COMPONENT program)
install(FILES share/zsh/vendor-completions/_kelvane
        DESTINATION ${KELVANE_ZSH_COMPLETIONS_DIR} COMPONENT program)
install(FILES share/fish/vendor_completions.d/kelvane.fish
        DESTINATION ${KELVANE_FISH_COMPLETIONS_DIR} COMPONENT program)

# The manual pages as installed: the pages in doc/ with the project's
# version on their title line, each also compressed for the packages.
set(KELVANE_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(manual_pages)
foreach(page kelvane.1 kelvane.3)
  add_custom_command(OUTPUT ${KELVANE_MAN_DIR}/${page} ${KELVANE_MAN_DIR}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/doc/${page}
            -DOUTPUT=${KELVANE_MAN_DIR}/${page} -DVERSION=${PROJECT_VERSION}
            -P ${PROJECT_SOURCE_DIR}/cmake/compress_doc.cmake
    DEPENDS doc/${page} cmake/compress_doc.cmake
    VERBATIM)
  list(APPEND manual_pages ${KELVANE_MAN_DIR}/${page} ${KELVANE_MAN_DIR}/${page}.gz)
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${manual_pages})
install(FILES ${KELVANE_MAN_DIR}/kelvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT manual)
install(FILES ${KELVANE_MAN_DIR}/kelvane.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
        COMPONENT manual)
install(FILES ${KELVANE_MAN_DIR}/kelvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT program EXCLUDE_FROM_ALL)
install(FILES ${KELVANE_MAN_DIR}/kelvane.3.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
        COMPONENT development EXCLUDE_FROM_ALL)

# CMake package.
install(EXPORT kelvaneTargets NAMESPACE kelvane:: DESTINATION ${KELVANE_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(cmake/kelvaneConfig.cmake.in kelvaneConfig.cmake
  INSTALL_DESTINATION ${KELVANE_CMAKE_DIR})
write_basic_package_version_file(kelvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelvaneConfig.cmake
              ${PROJECT_BINARY_DIR}/kelvaneConfigVersion.cmake
        DESTINATION ${KELVANE_CMAKE_DIR} COMPONENT development)

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
install(FILES ${PROJECT_BINARY_DIR}/kelvane.pc DESTINATION ${KELVANE_PKGCONFIG_DIR}
        COMPONENT development)
