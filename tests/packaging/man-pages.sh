#!/usr/bin/env bash
# Lints every manual page under packaging/man and checks vigild.8 against
# the program and the README: the synopsis against `vigild -usage`, and
# every switch, environment variable and configuration key of the README's
# tables (with its default where it is a single value) against the page.
#   man-pages.sh VIGILD MAN_DIR README
set -euo pipefail
vigild=$1 mandir=$2 readme=$3

if ! command -v mandoc >/dev/null; then
  echo "SKIP: mandoc is not installed (scripts/install-deps installs it)"
  exit 77
fi
status=0
fail() { echo "FAIL: $*"; status=1; }

for page in "$mandir"/*.[1-9]; do
  out=$(mandoc -Tlint -W warning "$page" 2>&1) || fail "$page: mandoc -Tlint failed"
  [ -z "$out" ] || fail "$page: lint messages:"$'\n'"$out"
done

# The page as plain text (overstrike removed), all on one line.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
text=$(mandoc -Tascii "$mandir/vigild.8" | sed 's/.\x08//g')
printf '%s' "$text" | tr -s ' \n' '  ' > "$work/flat"
synopsis=$(printf '%s\n' "$text" | sed -n '/^SYNOPSIS/,/^DESCRIPTION/p' | tr -s ' \n' '  ')
mentions() { grep -qF -- "$1" "$work/flat"; }

usage=$("$vigild" -usage) && fail "vigild -usage exited 0"
first=$(printf '%s\n' "$usage" | head -n1)
[[ $first == "Usage: "* ]] || fail "usage does not start with 'Usage: ': $first"
[[ $synopsis == *" ${first#Usage: } "* ]] ||
  fail "synopsis lacks the usage line '${first#Usage: }': $synopsis"
# Each accepted argument, without its brackets and comment.
while IFS= read -r line; do
  item=$(printf '%s' "${line%%//*}" | sed 's/^ *//; s/ *$//; s/^\[//; s/\]$//')
  [ -n "$item" ] || continue
  [[ $synopsis == *"$item"* ]] || fail "synopsis lacks '$item'"
done < <(printf '%s\n' "$usage" | sed -n '3,$p')

# The README tables: first column names, second the default of a key.
table_rows() {
  awk -v heading="$1" '
    /^#/ { inside = ($0 == heading) }
    inside && /^\| `/ { print }' "$readme"
}
check_names() {
  local heading=$1 rows name
  rows=$(table_rows "$heading")
  [ -n "$rows" ] || fail "README has no table under '$heading'"
  while IFS= read -r row; do
    first=$(printf '%s' "$row" | cut -d'|' -f2)
    for name in $(printf '%s' "$first" | grep -o '`[^`]*`' | tr -d '`' | awk '{print $1}'); do
      mentions "$name" || fail "vigild.8 does not mention '$name' ($heading)"
    done
  done <<< "$rows"
}
check_names "### Command line"
check_names "### Environment"
check_names "### Configuration keys"
while IFS= read -r row; do
  key=$(printf '%s' "$row" | cut -d'|' -f2 | tr -d ' `')
  default=$(printf '%s' "$row" | cut -d'|' -f3 | sed 's/^ *//; s/ *$//' | tr -d '`')
  [[ $key == *,* || $default == *" "* || $default == "—" || -z $default ]] && continue
  mentions "$key ($default)" || fail "vigild.8 does not give '$key ($default)'"
done < <(table_rows "### Configuration keys")

[ $status -eq 0 ] && echo "manual pages: lint clean, synopsis and README tables match"
exit $status
