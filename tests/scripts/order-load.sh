#!/usr/bin/env bash
# scripts/bench's load tool against the built daemon, briefly: a process
# registers through it (the daemon lists it), and a one-second ingest of two
# clients is read whole by the daemon and counted in its status file. The figures are not judged
# here (that is the benchmark's part); only that the tool still measures.
#   order-load.sh VIGILD ORDERLOAD
set -uo pipefail
. "$(dirname "$0")/waits.sh"
vigild=$1 load=$2
home=$(mktemp -d) daemon= keeper=
trap 'kill $daemon $keeper 2>/dev/null; rm -rf "$home"' EXIT
fail() { echo "FAIL: $*"; tail -n 20 "$home/console.log"; exit 1; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$out"; }

mkdir -p "$home/conf" "$home/log"
port=$("$load" freeport) || fail "freeport exited $?"
TLMHOME=$home "$vigild" -P "$port" >"$home/console.log" 2>&1 &
daemon=$!
sleep 600 &
keeper=$!
status=$home/log/vigild.status.json
register() { out=$("$load" register --port "$port" --pid "$keeper" 2>&1); }
waitfor 10 register || fail "register never reached the daemon: $out"
# Registered, not only sent: the heartbeats below must find their process.
waitfor 10 grep -qs "\"pid\": $keeper," "$status" || fail "the daemon never listed $keeper"
out=$("$load" ingest --port "$port" --daemon "$daemon" --pids "$keeper" --clients 2 --seconds 1 \
  --status "$status") || fail "ingest exited $?: $out"
[ "$(field failed_clients)" = 0 ] || fail "clients failed: $out"
[ "$(field orders)" -gt 0 ] 2>/dev/null || fail "no order sent: $out"
[ "$(field executed)" = "$(field orders)" ] || fail "the daemon counted other than was sent: $out"
echo "order load: $out"
