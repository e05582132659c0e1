#!/usr/bin/env bash
# Installs what is missing, then runs each job as its workflow preset
# (configure, build, test; see CMakePresets.json): the Linux build and its
# package, the same under AddressSanitizer and UndefinedBehaviorSanitizer,
# the Windows build under Wine and its package (where the kernel cannot
# execute 32-bit programs, its Wine tests are skipped and the 64-bit build of
# the same sources runs them under wine64); then the fuzzers for a bounded
# time (FUZZ_SECONDS each, 30 by default). Pass workflow names (or "fuzz") to
# run only those.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=("$@")
if [ "${#jobs[@]}" -eq 0 ]; then
  jobs=(package-linux linux-asan package-win32)
  if ! SELFUPDATE_WINE_ARCH=win32 sh cmake/wine-run.sh --check 2>/dev/null; then
    echo "This machine cannot execute 32-bit programs: the Windows tests run in the win64 build too."
    jobs+=(win64)
  fi
  jobs+=(fuzz)
fi

for job in "${jobs[@]}"; do
  echo "=== $job"
  if [ "$job" = fuzz ]; then
    bash scripts/fuzz.sh
  else
    cmake --workflow --preset "$job"
  fi
done
