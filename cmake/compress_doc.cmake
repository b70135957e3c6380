# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# Copies the document SOURCE to OUTPUT and compresses the copy into
# OUTPUT.gz with gzip -9n (no name, no time stamp, so the same text always
# gives the same bytes). With VERSION, SOURCE is a manual page whose title
# line names "kelvane <version>": in the copy, that and every other
# "kelvane <version>" of the page (such as the quoted banner) name VERSION.
#
#   cmake -DSOURCE=doc/kelvane.1 -DOUTPUT=man/kelvane.1 [-DVERSION=1.0.0]
#         -P compress_doc.cmake
file(READ "${SOURCE}" text)
if(DEFINED VERSION)
  if(NOT text MATCHES "(^|\n)\\.TH [^\n]* \"kelvane [0-9]+\\.[0-9]+\\.[0-9]+\"")
    message(FATAL_ERROR "${SOURCE}: no title line naming \"kelvane <version>\"")
  endif()
  string(REGEX REPLACE "kelvane [0-9]+\\.[0-9]+\\.[0-9]+" "kelvane ${VERSION}" text "${text}")
endif()
file(WRITE "${OUTPUT}" "${text}")
execute_process(COMMAND gzip -9n --force --keep "${OUTPUT}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip -9n ${OUTPUT} failed")
endif()
