#!/usr/bin/env bash
# scripts/check-layers passes this tree, and on small trees it passes every
# include its rules allow and refuses, naming file, line and header, each kind
# of include they forbid.
#   check-layers.sh SCRIPT SOURCE_DIR
set -uo pipefail
check=$1
"$check" "$2" || { echo "FAIL: the project's own tree is refused"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
# case NAME EXPECTED FILE=INCLUDED...: a fresh tree with one header per layer,
# plus the files given; EXPECTED is "pass" or text the refusal must hold.
case_() {
  local name=$1 expected=$2 tree="$work/$1"
  shift 2
  mkdir -p "$tree"/{utils,logging,collector,client,tests/support,tests/utils}
  touch "$tree/utils/Low.h" "$tree/logging/Mid.h" "$tree/collector/Top.h" \
    "$tree/client/Ctl.h" "$tree/tests/support/Help.h"
  local entry file
  for entry in "$@"; do
    file=$tree/${entry%%=*}
    mkdir -p "$(dirname "$file")"
    printf '// first line\n#include "%s"\n' "${entry#*=}" >>"$file"
  done
  local output status
  output=$("$check" "$tree" 2>&1)
  status=$?
  if [ "$expected" = pass ]; then
    [ $status -eq 0 ] || { echo "FAIL $name: refused: $output"; failures=$((failures + 1)); }
  elif [ $status -eq 0 ] || [[ "$output" != *"$expected"* ]]; then
    echo "FAIL $name: status $status, wanted '$expected' in: $output"
    failures=$((failures + 1))
  fi
}

case_ Downward pass logging/Mid.cpp=Low.h collector/Top.cpp=Mid.h client/Ctl.cpp=Low.h \
  tests/utils/LowTest.cpp=Help.h tests/client/CtlTest.cpp=Top.h tests/support/Help.cpp=Mid.h \
  fuzz/F.cpp=Top.h utils/Low.cpp=gtest/gtest.h
case_ Upward "utils/Low.cpp:2: includes Mid.h of logging/, which utils/ may not use" \
  utils/Low.cpp=Mid.h
case_ HeaderUpward "logging/Mid.h:2: includes Top.h of collector/" logging/Mid.h=Top.h
case_ TestAboveItsFolder "tests/utils/LowTest.cpp:2: includes Mid.h" tests/utils/LowTest.cpp=Mid.h
case_ ClientIntoDaemon "client/Ctl.cpp:2: includes Top.h of collector/" client/Ctl.cpp=Top.h
case_ SupportAboveLogging "tests/support/Help.cpp:2: includes Top.h" tests/support/Help.cpp=Top.h
case_ FolderWithNoPlace "newlib/New.cpp: C++ file in a folder with no place" newlib/New.cpp=Low.h
case_ SameHeaderTwice "header name also in" logging/Low.h=Mid.h

[ $failures -eq 0 ] || exit 1
echo "check-layers: all cases behave"
