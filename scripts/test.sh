#!/usr/bin/env bash
# Installs what is missing, then runs each job as its workflow preset
# (configure, build, test; see CMakePresets.json): the Linux build and its
# package, the same under AddressSanitizer and UndefinedBehaviorSanitizer,
# the Windows build under Wine and its package; then the fuzzers for a
# bounded time (FUZZ_SECONDS each, 30 by default). Pass workflow names
# (or "fuzz") to run only those.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=("$@")
if [ "${#jobs[@]}" -eq 0 ]; then jobs=(package-linux linux-asan package-win32 fuzz); fi

for job in "${jobs[@]}"; do
  echo "=== $job"
  if [ "$job" = fuzz ]; then
    bash scripts/fuzz.sh
  else
    cmake --workflow --preset "$job"
  fi
done
