#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the Linux build,
# the same under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# Windows build under Wine, then the fuzzers for a bounded time
# (FUZZ_SECONDS each, 30 by default). Pass preset names to run only those.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

presets=("$@")
if [ "${#presets[@]}" -eq 0 ]; then presets=(linux linux-asan win32 fuzz); fi

for preset in "${presets[@]}"; do
  echo "=== $preset"
  if [ "$preset" = fuzz ]; then
    bash scripts/fuzz.sh
    continue
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
