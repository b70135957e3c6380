# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# The OBEX server example (examples/obex_folder_server.c and the sessions it
# serves, obex_session.c), built against this tree for its end-to-end test,
# the unit test of its packets' framing and the benchmark. It needs
# libopenobex, which nothing else here does; without it the server isn't
# built, and its tests and benchmark rows skip, saying why.
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(OPENOBEX IMPORTED_TARGET openobex)
endif()
if(OPENOBEX_FOUND)
  add_library(obex_session OBJECT ${PROJECT_SOURCE_DIR}/examples/obex_session.c)
  target_include_directories(obex_session PUBLIC ${PROJECT_SOURCE_DIR}/examples)
  target_link_libraries(obex_session PUBLIC libkelvane PkgConfig::OPENOBEX)
  add_executable(obex_folder_server ${PROJECT_SOURCE_DIR}/examples/obex_folder_server.c)
  target_link_libraries(obex_folder_server PRIVATE obex_session)
else()
  message(STATUS "libopenobex not found: the OBEX server example is not built")
endif()
