# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# The whole suite under valgrind's memcheck, on the build of the test preset:
#
#   cmake --workflow --preset test && ctest -S tests/memcheck.cmake
#
# Fails when a test fails, when valgrind reports an error or a leak (the
# process then exits with 99, and CTest counts the defect in its log), and
# when a process ends with a descriptor open that it did not inherit. The
# program a test starts is checked too (--trace-children=yes); children that
# a test forks without exec run silently, since they end with _exit and hold
# whatever the test held. The faulty file system some tests mount serves
# them and is not under test: it runs without valgrind. The OBEX server
# example's test skips here, saying so: the server resolves every path with
# openat2, which valgrind 3.19 does not know (the sanitizer run checks the
# server instead). Reports about the C library itself are suppressed
# (valgrind.supp). fault_test (label
# "interposer") is left out: it brings its own allocator, which valgrind
# replaces. The export check runs only cmake and nm. The test that the reads
# in flight grow on a slow file system is left out too: it measures what
# helper threads gain, and under valgrind, which runs one thread at a time,
# every status read takes several times as long and the writer falls
# behind; the other read-ahead tests walk with many helpers, growing and
# shrinking, under it.
cmake_minimum_required(VERSION 3.25)
get_filename_component(CTEST_SOURCE_DIRECTORY "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CTEST_BINARY_DIRECTORY "${CTEST_SOURCE_DIRECTORY}/build/test")
set(CTEST_SITE "local")
set(CTEST_BUILD_NAME "memcheck")
set(CTEST_TEST_TIMEOUT 600)
set(CTEST_MEMORYCHECK_TYPE "Valgrind")
set(CTEST_MEMORYCHECK_COMMAND "${CMAKE_CURRENT_LIST_DIR}/valgrind_each_process.sh")
set(CTEST_MEMORYCHECK_COMMAND_OPTIONS
    "--leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
--error-exitcode=99 --track-fds=yes --trace-children=yes --child-silent-after-fork=yes \
--trace-children-skip=*/faulty_fs \
--num-callers=30 --vgdb=no --suppressions=${CMAKE_CURRENT_LIST_DIR}/valgrind.supp")

if(NOT EXISTS "${CTEST_BINARY_DIRECTORY}/CTestTestfile.cmake")
  message(FATAL_ERROR "no test build in ${CTEST_BINARY_DIRECTORY}: "
                      "run cmake --workflow --preset test first")
endif()
ctest_start(Experimental)
ctest_memcheck(PARALLEL_LEVEL 2 EXCLUDE_LABEL interposer
               EXCLUDE "library_exports_only_its_six_functions|ReadAhead.SlowFileSystemGetsHelpersForTheCallAlone"
               RETURN_VALUE failed DEFECT_COUNT defects)

# Descriptors left open: valgrind lists each one open at exit, followed by
# "<inherited from parent>" for those the process was started with. A
# process killed by a signal (the program on a closed pipe) holds what it
# held at that moment, and is not counted.
file(GLOB logs "${CTEST_BINARY_DIRECTORY}/Testing/Temporary/MemoryChecker.*.log")
set(left_open "")
foreach(log IN LISTS logs)
  file(STRINGS "${log}" lines)
  set(killed "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^==([0-9]+)== Process terminating with default action of signal")
      list(APPEND killed "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(open "")
  foreach(line IN LISTS lines)
    if(open AND NOT line MATCHES "<inherited from parent>")
      string(APPEND left_open "  ${log}: ${open}\n")
    endif()
    set(open "")
    if(line MATCHES "^==([0-9]+)== Open [^:]* [0-9]+:" AND NOT CMAKE_MATCH_1 IN_LIST killed)
      set(open "${line}")
    endif()
  endforeach()
endforeach()

if(NOT failed EQUAL 0 OR NOT defects EQUAL 0 OR left_open)
  message(FATAL_ERROR "memcheck: failed tests (${failed}), ${defects} defects in "
                      "${CTEST_BINARY_DIRECTORY}/Testing/Temporary/MemoryChecker.*.log\n"
                      "${left_open}")
endif()
list(LENGTH logs tests)
set(processes 0)
foreach(log IN LISTS logs)
  file(STRINGS "${log}" commands REGEX "^==[0-9]+== Command: ")
  list(LENGTH commands count)
  math(EXPR processes "${processes} + ${count}")
endforeach()
message(STATUS "memcheck: ${tests} tests, ${processes} processes under valgrind: "
               "no defect, no descriptor left open")
