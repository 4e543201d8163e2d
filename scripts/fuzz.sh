#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan + UBSan) and runs
# each for a bounded time on its seed corpus (tests/fuzz/corpus/<target>).
#   scripts/fuzz.sh            60 seconds per target (what CI runs)
#   scripts/fuzz.sh 3600       an hour per target
# New inputs the fuzzer finds go to build/fuzz/corpus/<target> (kept
# between runs); a crash leaves its input in build/fuzz/artifacts/ and the
# script fails. Reproduce one with: build/fuzz/tests/fuzz/fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-60}"
ZEL_NEED_FUZZER=1 scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build/fuzz/artifacts
for target in cli api; do
  echo "== fuzz_$target: ${secs}s =="
  mkdir -p "build/fuzz/corpus/$target"
  # stdout of the target is closed (dumps and log lines); stderr keeps the
  # fuzzer's progress and any report.
  "build/fuzz/tests/fuzz/fuzz_$target" -max_total_time="$secs" -timeout=30 -rss_limit_mb=2048 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="build/fuzz/artifacts/$target-" \
    "build/fuzz/corpus/$target" "tests/fuzz/corpus/$target"
done
