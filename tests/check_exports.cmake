# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# Fails unless the dynamic symbol table of LIBRARY defines exactly kelvane
# and kelvane_at.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" names "${symbols}")
list(TRANSFORM names STRIP)
list(SORT names)
if(NOT names STREQUAL "kelvane;kelvane_at")
  message(FATAL_ERROR "exported symbols: ${names}; expected only kelvane and kelvane_at")
endif()
message(STATUS "exports: ${names}")
