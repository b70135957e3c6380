#!/bin/sh
# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# valgrind for CTest's memcheck step, with one log per process. CTest hands
# over one log file per test (always the first argument), but the program a
# test starts runs under valgrind too (--trace-children=yes) and would
# overwrite it; so each process writes its own, in a folder that programs
# run under other user ids can write to as well, and they are gathered into
# CTest's log when the test ends.
case "$1" in
--log-file=*) log=${1#--log-file=} && shift ;;
*) exec valgrind "$@" ;;
esac
logs=$(mktemp -d) && chmod 0777 "$logs" || exit 1
valgrind --log-file="$logs/%p.log" "$@"
status=$?
cat "$logs"/*.log >"$log"
rm -rf "$logs"
exit $status
