# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# faulty_fs: a FUSE file system that fails and slows down on purpose, for
# the tests and the benchmark. Without libfuse3 it isn't built; the tests
# that need it skip, saying why, and so do the benchmark's slow rows.
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(FUSE3 IMPORTED_TARGET fuse3)
endif()
# libfuse3 passes struct stat and time_t across its interface, so the
# mirror is built with the time_t libfuse3 was built with: 32 bits on
# Debian 12's 32-bit architectures. There it can't mirror a time past
# January 2038, and the tests that would need one skip, saying so.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(fuse_time_bits 32)
else()
  set(fuse_time_bits 64)
endif()
set(KELVANE_FUSE_TIME_BITS ${fuse_time_bits} CACHE STRING
    "The width of time_t libfuse3 was built with (64 on 32-bit Debian 13 and later)")
if(FUSE3_FOUND)
  add_executable(faulty_fs ${CMAKE_CURRENT_LIST_DIR}/faulty_fs.c)
  target_link_libraries(faulty_fs PRIVATE PkgConfig::FUSE3)
  if(KELVANE_FUSE_TIME_BITS EQUAL 32)
    target_compile_options(faulty_fs PRIVATE -U_TIME_BITS)
  endif()
  # What the tests and the benchmark start, and the target that makes it
  # (a cross build may take the build machine's instead: native_helpers.cmake).
  set(KELVANE_FAULTY_FS_PROGRAM $<TARGET_FILE:faulty_fs>)
  set(KELVANE_FAULTY_FS_TARGET faulty_fs)
else()
  message(STATUS "libfuse3 not found: nothing is listed on a faulty file system")
endif()

# Mounting it and taking it down, shared by the tests and the benchmark; it
# needs no libfuse3, and says so when faulty_fs was not built.
add_library(faulty_mount STATIC ${CMAKE_CURRENT_LIST_DIR}/faulty_mount.cc)
target_include_directories(faulty_mount PUBLIC ${CMAKE_CURRENT_LIST_DIR})
