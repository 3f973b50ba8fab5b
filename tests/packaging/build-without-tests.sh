#!/usr/bin/env bash
# The `package` preset, which the README's Install section builds, needs
# neither GoogleTest nor Google Benchmark: configured with both packages
# disabled, it must never look for either (CMake then reports the two
# switches as unused) and must build no program but vigild and vigilctl.
#   build-without-tests.sh SOURCE_DIR
set -euo pipefail
source=$1
if ! command -v ninja >/dev/null; then
  echo "SKIP: ninja is not installed (Debian package ninja-build)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

if ! cmake -S "$source" --preset package -B "$work/build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
     -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON > "$work/configure.log" 2>&1; then
  cat "$work/configure.log"
  echo "FAIL: the package preset does not configure without GTest and benchmark"
  exit 1
fi
unused=$(sed -n '/Manually-specified variables were not used/,/^--/p' "$work/configure.log")
for package in GTest benchmark; do
  [[ $unused == *"CMAKE_DISABLE_FIND_PACKAGE_$package"* ]] ||
    fail "the package preset looks for $package"
done
programs=$(ninja -C "$work/build" -t targets all | sed -n 's/^\([^:]*\): CXX_EXECUTABLE_LINKER.*/\1/p' | sort)
[ "$programs" = "client/vigilctl"$'\n'"collector/vigild" ] ||
  fail "the package preset builds other programs: $(printf '%s ' $programs)"

[ $status -eq 0 ] && echo "package preset: vigild and vigilctl only, no test or benchmark package"
exit $status
