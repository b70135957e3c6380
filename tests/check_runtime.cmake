# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# Fails unless LIBRARY needs the C library alone and PROGRAM needs
# LIBRARY and the C library alone (their NEEDED entries), and unless every
# symbol LIBRARY leaves undefined comes from the C library: nothing from
# the C++ runtime (libstdc++, its ABI library, libgcc_s), which the library
# and the program do without.
#   cmake -DLIBRARY=... -DPROGRAM=... [-DREADELF=...] [-DNM=...] -P check_runtime.cmake
# READELF and NM default to the build machine's; a cross build passes the
# target's binutils.
if(NOT READELF)
  set(READELF readelf)
endif()
if(NOT NM)
  set(NM nm)
endif()
function(needed_by file out)
  execute_process(COMMAND ${READELF} -d ${file} OUTPUT_VARIABLE dynamic
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf failed on ${file}")
  endif()
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" entries "${dynamic}")
  list(TRANSFORM entries REPLACE ".*\\[(.*)\\]" "\\1")
  list(SORT entries)
  set(${out} "${entries}" PARENT_SCOPE)
endfunction()

needed_by(${LIBRARY} library_needs)
if(NOT library_needs STREQUAL "libc.so.6")
  message(FATAL_ERROR "${LIBRARY} needs ${library_needs}; expected libc.so.6 alone")
endif()
needed_by(${PROGRAM} program_needs)
if(NOT program_needs STREQUAL "libc.so.6;libkelvane.so.1")
  message(FATAL_ERROR "${PROGRAM} needs ${program_needs}; "
                      "expected libkelvane.so.1 and libc.so.6 alone")
endif()

# Undefined symbols, each "name@version" or, for the weak references every
# shared object carries, a bare name marked w.
execute_process(COMMAND ${NM} -D --undefined-only ${LIBRARY} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(foreign "")
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "@GLIBC_[0-9.]+$" OR line MATCHES "^w [_A-Za-z]+$")
    continue()
  endif()
  list(APPEND foreign "${line}")
endforeach()
if(foreign)
  message(FATAL_ERROR "${LIBRARY} takes symbols from outside the C library: ${foreign}")
endif()
message(STATUS "${LIBRARY} needs ${library_needs}, ${PROGRAM} needs ${program_needs}; "
               "every undefined symbol is the C library's")
