#!/usr/bin/env bash
# scripts/run-demo as the README tells it: the demo collector registers,
# `touch $TLMHOME/state/mute` silences it and vigild starts a new one that
# registers again, and Ctrl-C ends vigild with status 0 and every collector
# soon after. Registration is read from the daemon's status file.
#   run-demo.sh SOURCE_DIR VIGILD
set -uo pipefail
work=$(mktemp -d) pid=
pids() { cat "$work"/vigild-demo.*/state/started 2>/dev/null; }
trap 'for p in $pid $(pids); do kill -9 "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; tail -n 20 "$work/out"; exit 1; }
. "$(dirname "$0")/waits.sh"
registered() { grep -qs "\"pid\": $(pids | sed -n "$1p")," "$work"/vigild-demo.*/log/vigild.status.json; }
# A process gone but not yet reaped has no program any more.
all_gone() { for p in $(pids); do ! readlink "/proc/$p/exe" >/dev/null || return 1; done; }

port=$(free_port)
VIGILD=$2 TMPDIR=$work "$1/scripts/run-demo" "$port" > "$work/out" 2>&1 &
pid=$!
waitfor 60 registered 1 || fail "the demo collector never registered"
home=$(echo "$work"/vigild-demo.*)
touch "$home/state/mute"
waitfor 30 registered 2 || fail "no new collector registered within 30 s of the mute"
kill -INT "$pid"
code=0; wait "$pid" || code=$?; pid=
[ $code -eq 0 ] || fail "vigild ended with status $code on SIGINT"
waitfor 30 all_gone || fail "collectors left running: $(pids | tr '\n' ' ')"
echo "run-demo: collector registered, restarted after the mute, all gone after Ctrl-C"
