#!/usr/bin/env bash
# Installs what is missing, then runs each job as its workflow preset
# (configure, build, test; see CMakePresets.json): the Linux build and its
# package, the same under AddressSanitizer and UndefinedBehaviorSanitizer,
# the shipped 32-bit Windows build under Wine and its package; then the
# fuzzers for a bounded time (FUZZ_SECONDS each, 30 by default). Pass
# workflow names (or "fuzz") to run only those.
#
# A test that is skipped was not passed: the run ends by listing every test
# that did not run and fails, unless SELFUPDATE_ALLOW_SKIPPED=1 says that is
# expected (which also lets a machine with no way to run 32-bit Windows
# programs report those tests skipped; see cmake/wine-run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

if [ "${SELFUPDATE_ALLOW_SKIPPED:-}" = 1 ]; then export SELFUPDATE_WINE_NO_ROUTE=skip; fi

jobs=("$@")
if [ "${#jobs[@]}" -eq 0 ]; then jobs=(package-linux linux-asan package-win32 fuzz); fi

route=$(SELFUPDATE_WINE_ARCH=win32 sh cmake/wine-run.sh --check 2>&1) || true
echo "32-bit Windows programs run here by the route: $route"
# Where they run natively, the tests that run them under Wine run once more
# by the qemu route, so that route stays working for the kernels that need it.
qemu_route=""
if [ "$route" = native ]; then
  qemu_route=$(SELFUPDATE_WINE_ROUTE=qemu sh cmake/wine-run.sh --check 2>&1) || true
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
times=()
for job in "${jobs[@]}"; do
  echo "=== $job"
  start=$SECONDS
  if [ "$job" = fuzz ]; then
    bash scripts/fuzz.sh
  else
    cmake --workflow --preset "$job" 2>&1 | tee -a "$log"
    if [ "${job#package-}" = win32 ] && [ "$qemu_route" = qemu ]; then
      echo "=== $job: the Wine tests again, by the qemu route"
      SELFUPDATE_WINE_ROUTE=qemu ctest --preset win32 -L wine 2>&1 | tee -a "$log"
    fi
  fi
  times+=("$job $((SECONDS - start)) s")
done

echo "=== times"
printf '  %s\n' "${times[@]}"
# CTest lists the tests that did not run, skipped ones among them.
skipped=$(grep -E '^[[:space:]]*[0-9]+ - .*\((Skipped|Not Run)\)' "$log" || true)
if [ -n "$qemu_route" ] && [ "$qemu_route" != qemu ]; then
  echo "=== NOT RUN: the Wine tests by the qemu route, which kernels without 32-bit support need:"
  echo "$qemu_route"
fi
if [ -n "$skipped" ]; then
  echo "=== NOT RUN: these tests did not run, so they did not pass:"
  echo "$skipped"
  case $route in native|qemu) ;; *) echo "32-bit Windows programs: $route" ;; esac
  if [ "${SELFUPDATE_ALLOW_SKIPPED:-}" != 1 ]; then
    echo "Failing for that; SELFUPDATE_ALLOW_SKIPPED=1 accepts it."
    exit 1
  fi
fi
