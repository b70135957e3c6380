# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# A cross build's tests run on the target, under an emulator, with a few
# programs of the build machine's own, built here from the same sources:
# - kelvane, whose documents the target's must equal byte for byte;
# - where the target has no libfuse3, the faulty file system: a FUSE server
#   serves a client of any architecture;
# - where it has no libxml2, the XML reader the fixture then asks.
# And where the target's bytes go the other way round (s390x), the C.UTF-8
# locale compiled for it: the system's own can't be read there; the test
# preset points LOCPATH at it. The legacy character sets' locales are of
# no use there: the cross compiler's C library has no converters (gconv
# modules) for them, so the tests that need them skip, saying the locale
# is missing.
include(ExternalProject)
set(native_build ${PROJECT_BINARY_DIR}/native)
set(native_targets kelvane)
set(KELVANE_NATIVE_PROGRAM ${native_build}/kelvane)
if(NOT TARGET faulty_fs)
  list(APPEND native_targets faulty_fs)
  set(KELVANE_FAULTY_FS_PROGRAM ${native_build}/faulty_fs)
  set(KELVANE_FAULTY_FS_TARGET native_helpers)
endif()
find_package(LibXml2 QUIET)
if(NOT LibXml2_FOUND)
  list(APPEND native_targets xml_reader_program)
  set(KELVANE_XML_READER_PROGRAM ${native_build}/tests/xml_reader)
endif()
ExternalProject_Add(native_helpers
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${native_build}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TESTS=ON
             -DKELVANE_WARNINGS_AS_ERRORS=${KELVANE_WARNINGS_AS_ERRORS}
             -DCMAKE_C_COMPILER=cc -DCMAKE_CXX_COMPILER=c++
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${native_build} --target ${native_targets}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)

if(CMAKE_CXX_BYTE_ORDER STREQUAL "BIG_ENDIAN")
  set(locales ${PROJECT_BINARY_DIR}/locales)
  add_custom_command(OUTPUT ${locales}/stamp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${locales}
    COMMAND localedef --big-endian -c -i C -f UTF-8 ${locales}/C.UTF-8
    COMMAND ${CMAKE_COMMAND} -E touch ${locales}/stamp
    COMMENT "Compiling the C.UTF-8 locale for a big-endian target")
  add_custom_target(big_endian_locales ALL DEPENDS ${locales}/stamp)
endif()
