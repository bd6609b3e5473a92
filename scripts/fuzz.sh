#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (FUZZ_SECONDS, default 20).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-20}"
build=build/fuzz
targets=(formatter_fuzzer suffix_fuzzer format_data_fuzzer sha1_fuzzer manifest_fuzzer)

[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "FUZZ_SECONDS must be a positive whole number" >&2; exit 2; }

source scripts/lib/quiet.sh
if ! { quietly fuzz.sh cmake --preset fuzz && quietly fuzz.sh cmake --build --preset fuzz --target "${targets[@]}"; }; then
  echo "fuzz build failed (clang++ with libFuzzer is needed)" >&2
  exit 1
fi

# Runs one target on a fresh copy of its corpus, so the committed corpus is never written to.
run_target() {
  local target=$1 work="$build/run/$1"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -R "fuzz/corpus/$target/." "$work/corpus/"
  "$build/fuzz/$target" -max_total_time="$seconds" -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1
}

passed=0
failed=0
for target in "${targets[@]}"; do
  if run_target "$target"; then
    passed=$((passed + 1))
    echo "$target: passed, $(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$build/run/$target/log")"
  else
    failed=$((failed + 1))
    echo "$target: FAILED, log $build/run/$target/log, input $(ls -d "$build/run/$target/artifacts/"* 2>/dev/null | head -1)"
  fi
done
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
