#!/usr/bin/env bash
# Builds the project and runs every test suite (the README's test command).
#   scripts/test.sh            default build (build/default)
#   scripts/test.sh asan       the same suite under AddressSanitizer + UBSan
#   scripts/test.sh tsan       the concurrency tests under ThreadSanitizer
#   scripts/test.sh clang      the suite built with clang
#   scripts/test.sh release    the release build with the benchmarks (no tests)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
[ "$preset" = clang ] && export ZEL_NEED_CLANG=1
scripts/deps.sh
cmake --workflow --preset "$preset"
