# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# The Debian packages: `cpack -G DEB` in the build folder. Configure that
# build with -DCMAKE_INSTALL_PREFIX=/usr so that the library goes to the
# multiarch folder (lib/x86_64-linux-gnu) and the program gets no run path.
#
# With the shared library, three packages, split as Debian's policy for
# shared libraries asks:
#   libkelvane1     the shared library alone (named after its SONAME);
#   libkelvane-dev  the header, the libkelvane.so link, kelvane.pc, the
#                   CMake package and kelvane(3);
#   kelvane         the program, kelvane(1) and the completions for bash,
#                   zsh and fish.
# With BUILD_SHARED_LIBS=OFF there is no shared library to ship: two
# packages, libkelvane-dev with libkelvane.a in place of the link, and
# kelvane, whose program carries the library and needs no other package.
#
# Each package also gets the files Debian wants in /usr/share/doc/<package>:
# the copyright in Debian's machine-readable format, made from LICENSE,
# and packaging/changelog compressed. Those, and the compressed manual
# pages, belong to the packages only (EXCLUDE_FROM_ALL): a plain
# `cmake --install` installs the plain pages and no Debian files.
set(KELVANE_PACKAGE_MAINTAINER "kelvane developers <kelvane@example.org>"
    CACHE STRING "Maintainer named in the Debian packages")

set(KELVANE_LIBRARY_PACKAGE libkelvane${PROJECT_VERSION_MAJOR})
set(KELVANE_DEVELOPMENT_PACKAGE libkelvane-dev)
set(KELVANE_PROGRAM_PACKAGE kelvane)
if(BUILD_SHARED_LIBS)
  set(KELVANE_PACKAGED_COMPONENTS library development program)
else()
  set(KELVANE_PACKAGED_COMPONENTS development program)
endif()

# --- The files of /usr/share/doc/<package> -----------------------------------
set(KELVANE_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)

# copyright: LICENSE's permission text under one Files: * paragraph.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(FIND "${licence}" "Permission is hereby granted" start)
if(start EQUAL -1)
  message(FATAL_ERROR "LICENSE: no permission text")
endif()
string(SUBSTRING "${licence}" ${start} -1 licence)
string(STRIP "${licence}" licence)
string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
file(WRITE ${KELVANE_PACKAGING_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: kelvane

Files: *
Copyright: 2026 the kelvane developers
License: MIT
 ${licence}
")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

# changelog.gz: the package version has no Debian revision, so the one
# changelog is both the upstream and the Debian one.
add_custom_command(OUTPUT ${KELVANE_PACKAGING_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_SOURCE_DIR}/packaging/changelog
          -DOUTPUT=${KELVANE_PACKAGING_DIR}/changelog
          -P ${PROJECT_SOURCE_DIR}/cmake/compress_doc.cmake
  DEPENDS packaging/changelog cmake/compress_doc.cmake
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${KELVANE_PACKAGING_DIR}/changelog.gz)

foreach(component IN LISTS KELVANE_PACKAGED_COMPONENTS)
  string(TOUPPER ${component} COMPONENT)
  install(FILES ${KELVANE_PACKAGING_DIR}/copyright ${KELVANE_PACKAGING_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${KELVANE_${COMPONENT}_PACKAGE}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# --- The shared library's control files --------------------------------------
# The symbols file names the version that brought each exported symbol;
# dpkg-shlibdeps of a package built against libkelvane1 takes its minimum
# version from there. ldconfig runs through the trigger.
if(BUILD_SHARED_LIBS)
  file(WRITE ${KELVANE_PACKAGING_DIR}/symbols
"libkelvane.so.${PROJECT_VERSION_MAJOR} ${KELVANE_LIBRARY_PACKAGE} #MINVER#
* Build-Depends-Package: ${KELVANE_DEVELOPMENT_PACKAGE}
 kelvane@Base 1.0.0
 kelvane_at@Base 1.1.0
 kelvane_close@Base 1.2.0
 kelvane_fd@Base 1.2.0
 kelvane_open@Base 1.2.0
 kelvane_read@Base 1.2.0
")
  file(WRITE ${KELVANE_PACKAGING_DIR}/triggers "activate-noawait ldconfig\n")
  file(WRITE ${KELVANE_PACKAGING_DIR}/lintian-overrides
"# CPack adds postinst and postrm scripts that call ldconfig to every package
# with a shared library under /usr/lib, and cannot be told not to. The
# ldconfig trigger in this package does that work as policy asks; the two
# direct calls only repeat it.
${KELVANE_LIBRARY_PACKAGE}: maintscript-calls-ldconfig [postinst]
${KELVANE_LIBRARY_PACKAGE}: maintscript-calls-ldconfig [postrm]
")
  install(FILES ${KELVANE_PACKAGING_DIR}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME ${KELVANE_LIBRARY_PACKAGE}
          COMPONENT library EXCLUDE_FROM_ALL)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
      ${KELVANE_PACKAGING_DIR}/symbols ${KELVANE_PACKAGING_DIR}/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

# --- CPack ---------------------------------------------------------------------
set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KELVANE_PACKAGE_MAINTAINER}")
# Each package has its own synopsis, the first line of its description
# below; a summary, which CPack otherwise takes from the project's
# description, would go in front of every one of them.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${KELVANE_PACKAGED_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE kelvane)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(about
"kelvane writes the folder-listing XML document that OBEX file-transfer
servers hand to a remote device browsing a folder: one element per file or
folder, with its size, times, owner, group and permission letters as asked.")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${KELVANE_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
"library writing folders as OBEX folder-listing documents
${about}

This package holds the shared library libkelvane, whose call kelvane()
writes the document of a folder to a stream, and kelvane_at() the same for
a path under a root folder, never reaching outside it if asked.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${KELVANE_DEVELOPMENT_PACKAGE})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
if(BUILD_SHARED_LIBS)
  set(library_files "the libkelvane.so link")
else()
  set(library_files "the static library libkelvane.a")
endif()
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"library writing folders as OBEX folder-listing documents - development files
${about}

This package holds what a program needs to build with libkelvane: the C
header kelvane.h, ${library_files}, the pkg-config file,
the CMake package and the kelvane(3) manual page.")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME ${KELVANE_PROGRAM_PACKAGE})
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION
"describe a folder as an OBEX folder-listing document
${about}

This package holds the command-line program kelvane, its manual page and
its completions for bash, zsh and fish.")

# The library package's dependencies, and those of the program beyond
# libkelvane1, come from dpkg-shlibdeps. It looks for the program's
# libkelvane.so.1 in the build folder, and finds no package for it there:
# the program's package names its own libkelvane1 of exactly this version.
# The development package wants that same version of the library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
if(BUILD_SHARED_LIBS)
  set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
  set(CPACK_COMPONENT_PROGRAM_DEPENDS library)
endif()

include(CPack)
