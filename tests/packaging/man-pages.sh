#!/usr/bin/env bash
# Lints every manual page under packaging/man, checks that its quotes
# render in pairs, and checks vigild.8 against
# the program and the README: the synopsis against `vigild -usage`, and
# every switch, environment variable and configuration key of the README's
# tables (with its default where it is a single value) against the page;
# then vigilctl.1 against the verbs and options vigilctl's help names.
#   man-pages.sh VIGILD MAN_DIR README VIGILCTL
set -euo pipefail
vigild=$1 mandir=$2 readme=$3 vigilctl=$4

if ! command -v mandoc >/dev/null; then
  echo "SKIP: mandoc is not installed (scripts/install-deps installs it)"
  exit 77
fi
status=0
fail() { echo "FAIL: $*"; status=1; }

# Quotes that open inside a quote are macros swallowing their neighbours
# (".Pq Ql a , Ql b" renders "(‘a, ‘b’’)"), which lint does not report.
nested_quotes() {
  perl -CSD -0777 -ne 's/.\x08//g;
    for my $pair (["\x{2018}", "\x{2019}"], ["\x{201C}", "\x{201D}"]) {
      my ($open, $close) = @$pair;
      for my $line (split /\n/) { print "$line\n" if $line =~ /$open[^$close]*$open/; }
      (my $quotes = $_) =~ s/[^$open$close]//g;
      $quotes =~ s/$open$close//g;
      print "unmatched quotes: $quotes\n" if length $quotes;
    }'
}
for page in "$mandir"/*.[1-9]; do
  out=$(mandoc -Tlint -W warning "$page" 2>&1) || fail "$page: mandoc -Tlint failed"
  [ -z "$out" ] || fail "$page: lint messages:"$'\n'"$out"
  out=$(mandoc -Tutf8 "$page" | nested_quotes)
  [ -z "$out" ] || fail "$page: renders nested or unmatched quotes:"$'\n'"$out"
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

# The README tables: every backticked name of a row's first column (its first
# word: a switch without its argument) must appear in the page; a
# configuration key whose default is one value must appear as "KEY (value)".
# One awk pass, since a fork per row is slow on a loaded machine.
awk -v want="$work/names" -v pairs="$work/defaults" '
  /^#/ { section = $0 }
  section !~ /^### (Command line|Environment|Configuration keys)$/ || !/^\| `/ { next }
  {
    split($0, cell, "|")
    names = cell[2]; seen[section] = 1
    while (match(names, /`[^`]*`/)) {
      name = substr(names, RSTART + 1, RLENGTH - 2); sub(/ .*/, "", name)
      print name > want
      names = substr(names, RSTART + RLENGTH)
    }
    if (section == "### Configuration keys") {
      key = cell[2]; value = cell[3]
      gsub(/[ `]/, "", key); gsub(/^ +| +$/, "", value); gsub(/`/, "", value)
      if (key !~ /,/ && value !~ / / && value != "—" && value != "") print key " (" value ")" > pairs
    }
  }
  END {
    n = split("### Command line|### Environment|### Configuration keys", need, "|")
    for (i = 1; i <= n; i++) if (!(need[i] in seen)) print "README has no table under " need[i] > "/dev/stderr"
  }' "$readme" 2> "$work/missing"
[ ! -s "$work/missing" ] || fail "$(cat "$work/missing")"
while IFS= read -r needle; do
  mentions "$needle" || fail "vigild.8 does not mention '$needle'"
done < <(cat "$work/names" "$work/defaults")

# vigilctl.1 against what vigilctl prints for --help and for each verb's
# --help: every verb has an item of its own, and every option is explained
# past the synopsis.
help=$("$vigilctl" --help)
verbs=$(sed -nE 's/^(usage:)? +vigilctl ([a-z|]+).*/\2/p' <<< "$help" | tr '|' '\n')
[ -n "$verbs" ] || fail "vigilctl --help names no verb: $help"
for verb in $verbs; do
  out=$("$vigilctl" "$verb" --help 2>&1) || fail "vigilctl $verb --help exited $?: ${out%%$'\n'*}"
  help+=$'\n'$out
  grep -qE "^\.It Cm (.* )?$verb( |\$)" "$mandir/vigilctl.1" || fail "vigilctl.1 has no item for $verb"
done
body=$(mandoc -Tascii "$mandir/vigilctl.1" | sed 's/.\x08//g' | sed -n '/^DESCRIPTION/,/^ENVIRONMENT/p')
for option in $(grep -oE -- '(^|[ [])--?[a-z][a-z-]*' <<< "$help" | tr -d ' [' | sort -u); do
  grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<< "$body" ||
    fail "vigilctl.1 does not explain $option past its synopsis"
done

[ $status -eq 0 ] && echo "manual pages: lint clean, synopsis, README tables and vigilctl's verbs and options match"
exit $status
