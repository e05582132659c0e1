#!/usr/bin/env bash
# Builds the Linux updater and the baselines, then times them and prints the
# table (see "Benchmarks" in README.md). Takes about five minutes; run as
# root for the tmpfs and overlayfs rows.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
cmake --preset linux >/dev/null
cmake --build --preset linux --target selfupdate >/dev/null
mkdir -p build/bench
cc -O2 -Wall -Wextra -Werror bench/reference.c -o build/bench/reference
cc -O2 -Wall -Wextra -Werror bench/minimal.c -o build/bench/minimal
exec python3 bench/bench.py \
  --exe build/linux/selfupdate \
  --reference build/bench/reference \
  --minimal build/bench/minimal \
  --win32-exe build/win32/SelfUpdate.exe \
  --workdir "${BENCH_DIR:-/tmp}" "$@"
