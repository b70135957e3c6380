# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# The Debian package: `cpack -G DEB` in the build folder. Configure that
# build with -DCMAKE_INSTALL_PREFIX=/usr so that the library goes to the
# multiarch folder (lib/x86_64-linux-gnu) and the program gets no run path.
set(KELVANE_PACKAGE_MAINTAINER "kelvane developers <kelvane@example.org>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "describe a folder as an OBEX folder-listing document")
set(CPACK_PACKAGE_DESCRIPTION
    "kelvane writes the folder-listing XML document that OBEX file-transfer
servers hand to a remote device browsing a folder: one element per file or
folder, with its size, times, owner, group and permission letters as asked.

The package holds the command-line program, the shared library libkelvane
with its C header, pkg-config and CMake package files, manual pages and bash
completion.")
set(CPACK_PACKAGE_CONTACT "${KELVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies come from dpkg-shlibdeps. CPack lays the staged tree out as a
# package build folder, so dpkg-shlibdeps finds the package's own
# libkelvane.so.1 there and asks for no other package to provide it. The
# shlibs file lets later packages depend on the library, and brings the
# ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
