#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# Records the seed inputs of the OBEX session's fuzz target: obexftp
# sessions with the example server, each saved as the bytes the server
# took from the client (its recvfrom calls, traced by strace), one file a
# session, in tests/fuzz/obex_corpus/. The folder served has the names the
# fuzz target's fixture has, so that the requests find what they ask for.
#
#   tests/fuzz/record_obex_corpus.sh build/test/obex_folder_server
#
# Needs obexftp and strace.
set -euo pipefail
server=$(realpath "$1")
cd "$(dirname "$0")"
out=$PWD/obex_corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/served/sub/deeper" "$work/client" "$out"
echo 'notes & <draft>' >"$work/served/notes.txt"
echo 'inside sub' >"$work/served/sub/inner.txt"
echo 'two down' >"$work/served/sub/deeper/bottom.txt"
echo 'would be sent' >"$work/client/upload.txt"

# record NAME OBEXFTP-ARGUMENTS...: one session, served by a server that
# ends when its client has gone (--once).
record() {
    local name=$1 trace=$work/$1.trace port=
    shift
    strace -qq -e trace=recvfrom -xx -s 70000 -o "$trace" \
        "$server" --port=0 --once "$work/served" >"$work/port" &
    local tracer=$!
    while [[ -z $port ]]; do
        sleep 0.1
        port=$(head -n 1 "$work/port")
    done
    (cd "$work/client" && obexftp -n "127.0.0.1:$port" "$@" >/dev/null 2>&1) || true
    wait "$tracer"
    sed -n 's/^recvfrom([0-9]*, "\([^"]*\)".*/\1/p' "$trace" |
        while read -r bytes; do printf '%b' "$bytes"; done >"$out/$name"
    echo "$name: $(wc -c <"$out/$name") bytes"
}

record list-served-folder -l
record setpath-then-list -c sub -l
record list-two-down -l sub/deeper
record get-file -g notes.txt
record get-in-subfolder -c sub -g inner.txt
record refused-put -p upload.txt
record refused-delete -k notes.txt
record browse-fetch-put-delete -c sub -l -g inner.txt -p upload.txt -k inner.txt
