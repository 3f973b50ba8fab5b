#!/usr/bin/env bash
# Builds the Debian package with CPack and checks it as an operator meets it:
# control fields, conffile and maintainer scripts, the exact file list, the
# copyright file and its licence, the unpacked program, the packaged
# configuration in use, and the maintainer scripts run twice, then on remove
# and purge, against a scratch root where the operator enabled both units:
# purge must leave no enable link.
# Leaves the package at OUTPUT for the lintian test.
#   debian-package.sh CPACK_CONFIG VERSION PACKAGE_FILES BUILT_VIGILD OUTPUT SOURCE_DIR
set -euo pipefail
config=$1 version=$2 listed=$3 built=$4 output=$5 source=$6
if ! command -v dpkg-shlibdeps >/dev/null; then
  echo "SKIP: dpkg-shlibdeps is not installed (Debian package dpkg-dev)"
  exit 77
fi
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
. "$(dirname "$0")/../scripts/waits.sh"

cpack -G DEB --config "$config" -B "$work/out" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb=$(ls "$work"/out/*.deb)
[ "$(basename "$deb")" = "vigild_${version}_$(dpkg --print-architecture).deb" ] ||
  fail "package file name $(basename "$deb")"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vigild ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for needed in "libc6 (>=" "adduser"; do
  [[ $depends == *"$needed"* ]] || fail "Depends lacks '$needed': $depends"
done

dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = "/etc/vigild/programs.d/example.conf.example
/etc/vigild/registry.conf" ] || fail "conffiles: $(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
  [ "$(stat -c %a "$work/control/$script")" = 755 ] || fail "$script is not mode 755"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
diff "$listed" <(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) ||
  fail "package files differ (< expected, > packaged)"
# The example program file defines nothing until an operator copies it: a
# line that is not a comment would start a program, or fail as a bad file.
example=$root/etc/vigild/programs.d/example.conf.example
grep -q '^#command = ' "$example" || fail "the example program file shows no command"
if grep -v '^#' "$example" | grep -q '[^[:space:]]'; then
  fail "the example program file has a line that is not a comment"
fi
grep -q '"ProgramDir"="/etc/vigild/programs.d"' "$root/etc/vigild/registry.conf" ||
  fail "the packaged configuration does not name /etc/vigild/programs.d"
# The copyright file in Debian's machine-readable format, under the project's
# licence: the licence text of its License paragraph is that of LICENSE.
copyright=$root/usr/share/doc/vigild/copyright
[ "$(head -n1 "$copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
  fail "copyright is not machine-readable: $(head -n1 "$copyright")"
grep -qx "Copyright: 2026 the vigild developers" "$copyright" || fail "copyright holder or year"
[ "$(grep -c '^License: Expat$' "$copyright")" -eq 2 ] ||
  fail "copyright lacks the Expat (MIT) licence of Files: * and its text: $(grep '^License:' "$copyright")"
words() { tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }
licence=$(sed -n '/^License: Expat$/,/^$/{/^ /p}' "$copyright" | sed 's/^ //; s/^\.$//' | words)
expected=$(sed -n '/^Permission is hereby granted/,$p' "$source/LICENSE" | words)
[ -n "$expected" ] && [ "$licence" = "$expected" ] ||
  fail "the licence text in copyright differs from LICENSE"
out=$(env -i "$root/usr/bin/vigild" -v) || fail "unpacked vigild -v exited $?"
[[ $out == "Version:  "*$'\n'"Comment:  "*$'\n'"Compiled: "* ]] || fail "unpacked vigild -v printed: $out"
code=0
out=$(env -i "$root/usr/bin/vigild" -usage) || code=$?
[ $code -eq 1 ] || fail "unpacked vigild -usage exited $code"
[ "$out" = "$("$built" -usage)" ] || fail "unpacked vigild -usage printed: $out"
unit=$root/lib/systemd/system/vigild.service
grep -qx "ExecStart=/usr/bin/vigild" "$unit" || fail "unit does not start /usr/bin/vigild"
grep -qx "Environment=TLMHOME=/var/lib/vigild" "$unit" || fail "unit's TLMHOME"

# The packaged configuration at work: the service's home as postinst lays it
# out, its log directory moved into the scratch area.
home=$work/home
mkdir -p "$home/conf" "$work/logs"
sed "s|\"/var/log/vigild/\"|\"$work/logs/\"|" "$root/etc/vigild/registry.conf" > "$home/conf/registry.conf"
ln -s "$root/usr/share/vigild/tlmhome/version" "$home/version"
out=$(env -i TLMHOME="$home" "$root/usr/bin/vigild" -v)
[[ $out == "Version:  vigild $version "* ]] || fail "the installed version file is not read: $out"
port=$(free_port)
env -i TLMHOME="$home" "$root/usr/bin/vigild" -P "$port" -D 2 > "$work/daemon.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
  grep -qs "Listenner started on TCP port $port" "$work"/logs/*-vigild.log && break
  sleep 0.1
done
grep -qs "Listenner started on TCP port $port" "$work"/logs/*-vigild.log ||
  fail "the packaged registry.conf does not log to LogDir: $(ls "$work/logs"; cat "$work/daemon.out")"
kill "${pids[@]}"
wait "${pids[@]}" || true
# The files replace the console: nothing reaches standard output or error.
[ ! -s "$work/daemon.out" ] || fail "file logging also wrote to the console: $(cat "$work/daemon.out")"

# Maintainer scripts against a scratch root holding the unpacked package, as
# dpkg runs them there, with stand-ins for the account tools.
sys=$work/sys
mkdir -p "$sys" "$work/bin"
dpkg-deb -x "$deb" "$sys"
cat > "$work/bin/getent" <<STUB
#!/bin/sh
[ -e "$work/user-exists" ]
STUB
cat > "$work/bin/adduser" <<STUB
#!/bin/sh
echo "\$*" >> "$work/adduser.calls"
touch "$work/user-exists"
STUB
chmod +x "$work/bin/getent" "$work/bin/adduser"
maint() {
  env PATH="$work/bin:$PATH" DPKG_ROOT="$sys" DPKG_MAINTSCRIPT_PACKAGE=vigild \
    sh "$work/control/$1" "${@:2}"
}
# The units' enable links, wherever systemd or deb-systemd-helper put them.
enable_links() { find "$sys/etc/systemd" -name 'vigild.*' 2>/dev/null | sort; }
# The operator's `systemctl enable`, made offline in the scratch root.
operator_enables() {
  if command -v systemctl >/dev/null; then
    systemctl --root="$sys" --quiet enable "$@"
  else
    for unit in "$@"; do
      case $unit in
        *.socket) target=sockets.target ;;
        *) target=multi-user.target ;;
      esac
      mkdir -p "$sys/etc/systemd/system/$target.wants"
      ln -sf "/lib/systemd/system/$unit" "$sys/etc/systemd/system/$target.wants/$unit"
    done
  fi
}
maint postinst configure
[ -z "$(enable_links)" ] || fail "install enabled a unit: $(enable_links)"
operator_enables vigild.socket vigild.service
enabled=$(enable_links)
[ "$(printf '%s\n' "$enabled" | wc -l)" -eq 2 ] || fail "systemctl enable made: $enabled"
maint postinst configure 1.0.0
[ "$(enable_links)" = "$enabled" ] || fail "upgrade changed the enable links: $(enable_links)"
[ "$(wc -l < "$work/adduser.calls")" -eq 1 ] || fail "adduser calls: $(cat "$work/adduser.calls")"
grep -q -- "--system .*vigild$" "$work/adduser.calls" || fail "adduser: $(cat "$work/adduser.calls")"
[ "$(readlink "$sys/var/lib/vigild/conf")" = /etc/vigild ] || fail "conf link"
[ "$(readlink "$sys/var/lib/vigild/version")" = /usr/share/vigild/tlmhome/version ] || fail "version link"
[ "$(readlink "$sys/var/lib/vigild/log")" = /var/log/vigild ] || fail "log link"
[ -d "$sys/var/log/vigild" ] || fail "no log directory"
rm "$sys/var/lib/vigild/conf" && mkdir "$sys/var/lib/vigild/conf"
maint postinst configure 1.0.0
[ -d "$sys/var/lib/vigild/conf" ] && [ ! -L "$sys/var/lib/vigild/conf" ] ||
  fail "postinst replaced the operator's conf directory"
touch "$sys/var/log/vigild/2026.01.01-vigild.log"
maint prerm remove
# dpkg removes the package's files between prerm and postrm.
(cd "$root" && find . -type f) | (cd "$sys" && xargs rm -f)
maint postrm remove
[ -e "$sys/var/log/vigild/2026.01.01-vigild.log" ] || fail "remove deleted the logs"
[ -d "$sys/var/lib/vigild" ] || fail "remove deleted the home"
[ "$(enable_links)" = "$enabled" ] || fail "remove changed the enable links: $(enable_links)"
maint postrm purge
[ ! -e "$sys/var/log/vigild" ] && [ ! -e "$sys/var/lib/vigild" ] || fail "purge left the logs or home"
[ -z "$(enable_links)" ] || fail "purge left enable links: $(enable_links)"
[ -z "$(find "$sys/var/lib/systemd" -name 'vigild.*' 2>/dev/null)" ] ||
  fail "purge left deb-systemd-helper state: $(find "$sys/var/lib/systemd" -name 'vigild.*')"

cp "$deb" "$output"
[ $status -eq 0 ] && echo "debian package: $(basename "$deb") checked"
exit $status
