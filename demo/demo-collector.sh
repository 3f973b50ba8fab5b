#!/usr/bin/env bash
# A stand-in for a supervised collector: registers itself with vigild over TCP,
# then sends one heartbeat a second. While the file STATE_DIR/mute exists the
# heartbeats stop, so vigild finds the process silent, stops it and runs its
# start command, which is this script again (the new copy removes the file).
#
# usage: demo-collector.sh PORT STATE_DIR [WDFREQ_SECONDS]
set -u
port=${1:?usage: demo-collector.sh PORT STATE_DIR [WDFREQ_SECONDS]}
state=${2:?usage: demo-collector.sh PORT STATE_DIR [WDFREQ_SECONDS]}
wdfreq=${3:-5}
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

mkdir -p "$state"
rm -f "$state/mute"
echo "$$" >>"$state/started"
echo "[demo-collector] pid $$ registering on port $port (touch $state/mute to silence it)" >&2

exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
printf 'BEGINWATCH\npid: %d\npsname: demo-collector\npsstart: %s %s %s %s\npsstop: kill %d\nwdfreq: %d\nEND;\n' \
  "$$" "$self" "$port" "$state" "$wdfreq" "$$" "$wdfreq" >&3 || exit 1

while :; do
  if [ ! -e "$state/mute" ]; then
    printf 'BEGINMSG\npid: %d\npswset: 100\npserrors: 0\nEND;\n' "$$" >&3 || exit 0
  fi
  sleep 1
done
