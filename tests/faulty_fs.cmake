# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# faulty_fs: a FUSE file system that fails and slows down on purpose, for
# the tests and the benchmark. Without libfuse3 it isn't built; the tests
# that need it skip, saying why, and so do the benchmark's slow rows.
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(FUSE3 IMPORTED_TARGET fuse3)
endif()
if(FUSE3_FOUND)
  add_executable(faulty_fs ${CMAKE_CURRENT_LIST_DIR}/faulty_fs.c)
  target_link_libraries(faulty_fs PRIVATE PkgConfig::FUSE3)
else()
  message(STATUS "libfuse3 not found: nothing is listed on a faulty file system")
endif()

# Mounting it and taking it down, shared by the tests and the benchmark; it
# needs no libfuse3, and says so when faulty_fs was not built.
add_library(faulty_mount STATIC ${CMAKE_CURRENT_LIST_DIR}/faulty_mount.cc)
target_include_directories(faulty_mount PUBLIC ${CMAKE_CURRENT_LIST_DIR})
