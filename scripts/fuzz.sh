#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each for a
# bounded time, FUZZ_SECONDS seconds (default 30), on a scratch copy of its
# seed corpus, so the committed seeds never grow. Prints each target's
# executions and a summary; exits non-zero when any target found a crash.
# Crashing inputs are kept in build/fuzz/crashes/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-30}"
targets=(fuzz_command_line fuzz_split_path fuzz_compare fuzz_search)
bin=build/fuzz/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

failed=()
total=0
for target in "${targets[@]}"; do
  corpus="$scratch/$target"
  crashes="build/fuzz/crashes/$target"
  mkdir -p "$corpus" "$crashes"
  cp fuzz/corpus/"$target"/* "$corpus"/
  log="$scratch/$target.log"

  status=0
  "$bin/$target" -max_total_time="$seconds" -print_final_stats=0 \
    -artifact_prefix="$crashes/" "$corpus" >"$log" 2>&1 || status=$?

  runs="$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)"
  if [ "$status" -eq 0 ] && [ -n "$runs" ]; then
    echo "$target: $runs executions, no crash"
    total=$((total + runs))
  else
    echo "$target: FAILED (exit $status), input kept in $crashes/"
    grep -E 'property violated|ERROR:|SUMMARY:|Test unit written' "$log" || tail -n 20 "$log"
    failed+=("$target")
  fi
done

if [ "${#failed[@]}" -eq 0 ]; then
  echo "fuzz: ${#targets[@]} targets, $total executions in ${seconds} s each, no crash"
else
  echo "fuzz: ${#failed[@]} of ${#targets[@]} targets crashed: ${failed[*]}"
  exit 1
fi
