#!/usr/bin/env bash
# The two ways the README and vigild(8) give to run the daemon without
# systemd, as written there: in the foreground, where SIGINT ends it with
# status 0; and in the background through start-stop-daemon, whose pid file
# must name the daemon itself (vigild never forks away from the pid it was
# started with), whose --status and --stop must see it, and whose --output
# must hold the records written at the stop.
#   without-systemd.sh VIGILD EXAMPLE_HOME
set -euo pipefail
vigild=$(readlink -f "$1") example=$2
if ! command -v start-stop-daemon >/dev/null; then
  echo "SKIP: start-stop-daemon is not installed (Debian package dpkg)"
  exit 77
fi
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
. "$(dirname "$0")/../scripts/waits.sh"

export TLMHOME=$work/home
cp -r "$example" "$TLMHOME"
mkdir -p "$TLMHOME/log"
port=$(free_port)
# A process gone but not yet reaped has no program any more.
alive() { readlink "/proc/$1/exe" > /dev/null 2>&1; }
listening() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

# In the foreground.
"$vigild" -P "$port" > "$work/foreground.out" 2>&1 &
pid=$!
listening || fail "the foreground daemon does not listen on $port"
kill -INT "$pid"
code=0
wait "$pid" || code=$?
pid=
[ $code -eq 0 ] || fail "the foreground daemon ended with status $code on SIGINT"

# In the background, with the README's commands.
pidfile=$TLMHOME/vigild.pid
ssd() { start-stop-daemon "$1" --pidfile "$pidfile" --exec "$vigild" "${@:2}"; }
start() {
  ssd --start --background --make-pidfile --output "$TLMHOME/log/vigild.out" -- -P "$port" -D 3
}
code=0; start || code=$?
[ $code -eq 0 ] || fail "start exited $code"
pid=$(cat "$pidfile")
listening || fail "the background daemon does not listen on $port"
[ "$(readlink "/proc/$pid/exe" || true)" = "$(readlink -f "$vigild")" ] ||
  fail "the pid file names $pid, which is not vigild: $(readlink "/proc/$pid/exe" || true)"
code=0; start > /dev/null || code=$?
[ $code -eq 1 ] || fail "a second start while it runs exited $code"
[ "$(cat "$pidfile")" = "$pid" ] || fail "a second start rewrote the pid file"
code=0; ssd --status || code=$?
[ $code -eq 0 ] || fail "status of the running daemon: $code"
started=$SECONDS
code=0; ssd --stop --oknodo --retry TERM/5 --remove-pidfile > /dev/null || code=$?
[ $code -eq 0 ] || fail "stop exited $code"
[ $((SECONDS - started)) -lt 5 ] || fail "SIGTERM did not end the daemon; the stop waited for SIGKILL"
! alive "$pid" || fail "the daemon still runs after stop"
pid=
[ ! -e "$pidfile" ] || fail "stop left the pid file"
code=0; ssd --status || code=$?
[ $code -eq 3 ] || fail "status without a pid file: $code"
grep -q "signal 15 received, stopping" "$TLMHOME/log/vigild.out" ||
  fail "the records of the stop are not in --output: $(cat "$TLMHOME/log/vigild.out")"

# A daemon gone without its stop leaves the pid file: status 1, and a stop
# with --oknodo clears it.
start || fail "start after stop"
pid=$(cat "$pidfile")
listening || fail "the restarted daemon does not listen"
kill -9 "$pid"
for _ in $(seq 100); do alive "$pid" || break; sleep 0.05; done
pid=
code=0; ssd --status || code=$?
[ $code -eq 1 ] || fail "status with a stale pid file: $code"
code=0; ssd --stop --oknodo --retry TERM/5 --remove-pidfile > /dev/null || code=$?
[ $code -eq 0 ] && [ ! -e "$pidfile" ] || fail "stop over a stale pid file: $code"

[ $status -eq 0 ] && echo "without systemd: foreground and start-stop-daemon as documented"
exit $status
