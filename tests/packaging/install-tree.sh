#!/usr/bin/env bash
# `cmake --install` honours the prefix and DESTDIR: the files the package
# lists land under --prefix DIR (usr/ becoming DIR, /etc and the units
# inside DIR), or exactly as in the package under DESTDIR with the prefix
# /usr; the installed program answers -v without any configuration, naming
# the system and machine it runs on, the unit starts the installed program
# and the three manual pages are there.
#   install-tree.sh BUILD_DIR PACKAGE_FILES
set -euo pipefail
build=$1 listed=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
files_under() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort); }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
expected=$(sed 's|^usr/||' "$listed" | sort)
diff <(printf '%s\n' "$expected") <(files_under "$prefix") || fail "files under --prefix differ (< expected, > installed)"
[ -d "$prefix/share/vigild/tlmhome/log" ] || fail "example home has no log/"
# The pages by name: the expected list is built from the pages present, so a
# page deleted from the tree would leave it too.
for page in vigild.8 vigilctl.1 vigild.programs.5; do
  title=${page%.*} section=${page##*.}
  gzip -dc "$prefix/share/man/man$section/$page.gz" 2>/dev/null | grep -x "\.Dt ${title^^} $section" >/dev/null ||
    fail "man$section/$page.gz is not installed as the page ${title^^}($section)"
done
grep -qx "ExecStart=$prefix/bin/vigild" "$prefix/lib/systemd/system/vigild.service" ||
  fail "the unit does not start $prefix/bin/vigild"
out=$(env -i "$prefix/bin/vigild" -v) || fail "installed vigild -v exited $?"
[[ $out == "Version:  "*"$(uname -s).$(uname -m) ("* ]] || fail "installed vigild -v printed: $out"
out=$(env -i TLMHOME="$prefix/share/vigild/tlmhome" "$prefix/bin/vigild" -v)
[[ $out == "Version:  vigild "* ]] || fail "the example home's version file is not read: $out"

DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
diff "$listed" <(files_under "$work/stage") || fail "files under DESTDIR differ (< expected, > installed)"
grep -qx "ExecStart=/usr/bin/vigild" "$work/stage/lib/systemd/system/vigild.service" ||
  fail "the packaged unit does not start /usr/bin/vigild"

[ $status -eq 0 ] && echo "install tree: prefix and DESTDIR layouts as listed"
exit $status
