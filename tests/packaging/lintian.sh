#!/usr/bin/env bash
# lintian finds no error and no warning in the package the package test
# built (informational tags are shown, not counted).
#   lintian.sh DEB
set -euo pipefail
if ! command -v lintian >/dev/null; then
  echo "SKIP: lintian is not installed (Debian package lintian)"
  exit 77
fi
[ -f "$1" ] || { echo "FAIL: no package at $1"; exit 1; }
lintian --fail-on error,warning --info "$1"
echo "lintian: no error, no warning"
