# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# Fails unless the dynamic symbol table of LIBRARY defines exactly the
# library's six functions.
if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" names "${symbols}")
list(TRANSFORM names STRIP)
list(SORT names)
set(expected kelvane kelvane_at kelvane_close kelvane_fd kelvane_open kelvane_read)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported symbols: ${names}; expected only ${expected}")
endif()
message(STATUS "exports: ${names}")
