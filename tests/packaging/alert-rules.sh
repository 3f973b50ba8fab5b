#!/usr/bin/env bash
# The shipped alert rules: promtool accepts them and they fire, with their
# labels and descriptions, exactly where their unit tests say. Skipped, with
# the reason, where promtool is missing.
#   alert-rules.sh RULES RULE_TESTS
set -euo pipefail
rules=$1 tests=$2
if ! command -v promtool >/dev/null; then
  echo "SKIP: promtool is not installed (Debian package prometheus)"
  exit 77
fi
promtool check rules "$rules"
promtool test rules "$tests"
