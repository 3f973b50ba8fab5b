#!/usr/bin/env bash
# The installed systemd units pass `systemd-analyze verify` without a single
# message. Skipped, with the reason, where the tool is missing or cannot
# verify even a trivial unit on this machine.
#   systemd-units.sh BUILD_DIR
set -euo pipefail
build=$1
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '[Unit]\nDescription=probe\n[Service]\nExecStart=/bin/true\n' > "$work/probe.service"
if ! probe=$(systemd-analyze verify --man=no "$work/probe.service" 2>&1) || [ -n "$probe" ]; then
  echo "SKIP: systemd-analyze cannot verify units here: $probe"
  exit 77
fi
cmake --install "$build" --prefix "$work/prefix" >/dev/null
units=$work/prefix/lib/systemd/system
if ! out=$(systemd-analyze verify --man=no "$units/vigild.socket" "$units/vigild.service" 2>&1) ||
   [ -n "$out" ]; then
  echo "FAIL: systemd-analyze verify:"
  printf '%s\n' "$out"
  exit 1
fi
echo "systemd units: verified"
