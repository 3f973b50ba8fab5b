#!/usr/bin/env bash
# The installed systemd units: every sandboxing option of vigild.service
# binds the supervised programs as well, so each one the unit sets must be
# named where operators read (vigild(8)'s "The packaged service" and the
# README). The unit runs as root, with the dedicated user commented out, and
# so must not change what those programs see of the file system. The service
# notifies (readiness and a watchdog), keeps its children when it is
# restarted and has its state and log directories created; the socket unit
# listens on the order port and the default local socket. Then the units pass
# `systemd-analyze verify` without a single message; that part is skipped,
# with the reason, where the tool is missing or cannot verify even a trivial
# unit here.
#   systemd-units.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
units=$work/prefix/lib/systemd/system
service=$units/vigild.service
options=$(grep -oE '^(Protect|Private|Restrict|Lock|NoNewPrivileges|Capability|MemoryDeny|SystemCall|ReadOnly|ReadWrite|Inaccessible|Device)[A-Za-z]*=' \
  "$service" | tr -d '=' | sort -u)
[ -n "$options" ] || fail "vigild.service sets no sandboxing option"
# Root, so that commands run as the users who registered them; the dedicated
# user stays one uncommenting away.
! grep -q '^User=' "$service" || fail "vigild.service runs as a dedicated user, not root"
for line in '#User=vigild' '#Group=vigild'; do
  grep -qx "$line" "$service" || fail "vigild.service lacks the commented alternative $line"
done
for option in ProtectSystem ProtectHome PrivateTmp; do
  ! grep -qx "$option" <<< "$options" || fail "vigild.service runs as root with $option"
done
documented=$(sed -n '/^\.Ss The packaged service$/,/^\.S[sh] /p' "$source/packaging/man/vigild.8")
for option in $options; do
  grep -qE "^\.It Cm $option\$" <<< "$documented" ||
    fail "vigild(8) does not list $option under 'The packaged service'"
  grep -qF "\`$option\`" "$source/README.md" || fail "README.md does not name $option"
done
# The daemon reports readiness and feeds a watchdog, and nothing it starts
# may speak for it; systemd creates its home and the log directory that the
# packaged configuration names.
for line in Type=notify NotifyAccess=main WatchdogSec=30s Restart=on-failure KillMode=process \
    StateDirectory=vigild LogsDirectory=vigild; do
  grep -qx "$line" "$service" || fail "vigild.service lacks $line"
done
# The order port, and the local socket where vigilctl looks without TLMHOME.
for line in ListenStream=0.0.0.0:3003 ListenStream=/run/vigild/vigild.sock; do
  grep -qx "$line" "$units/vigild.socket" || fail "vigild.socket lacks $line"
done
[ $status -eq 0 ] || exit $status

if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
printf '[Unit]\nDescription=probe\n[Service]\nExecStart=/bin/true\n' > "$work/probe.service"
if ! probe=$(systemd-analyze verify --man=no "$work/probe.service" 2>&1) || [ -n "$probe" ]; then
  echo "SKIP: systemd-analyze cannot verify units here: $probe"
  exit 77
fi
if ! out=$(systemd-analyze verify --man=no "$units/vigild.socket" "$service" 2>&1) ||
   [ -n "$out" ]; then
  echo "FAIL: systemd-analyze verify:"
  printf '%s\n' "$out"
  exit 1
fi
echo "systemd units: sandboxing documented, verified"
