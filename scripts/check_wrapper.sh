#!/usr/bin/env bash
# Checks that scripts/zel-ip-sim starts the tool without any build step when
# it is up to date, and rebuilds when a source is newer. cmake and the
# package check are reached through a recording stand-in on PATH, so the
# check counts build steps instead of timing anything.
#   scripts/check_wrapper.sh        (after a default build)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "check_wrapper: FAIL: $*" >&2; exit 1; }

real_cmake="$(command -v cmake)"
mkdir -p "$tmp/bin"
printf '#!/bin/sh\necho cmake >> "%s/calls"\nexec "%s" "$@"\n' "$tmp" "$real_cmake" > "$tmp/bin/cmake"
chmod +x "$tmp/bin/cmake"
export PATH="$tmp/bin:$PATH"
run() { : > "$tmp/calls"; "$root/scripts/zel-ip-sim" "$@"; }

# Bring the tool up to date (whatever state the tree is in), then the quick path.
run --help > /dev/null
run "$root/examples/router.zcfg" > "$tmp/wrapped.out"
[ ! -s "$tmp/calls" ] || fail "an up-to-date tool still ran cmake"
"$root/build/default/tools/zel-ip-sim" "$root/examples/router.zcfg" > "$tmp/direct.out"
cmp -s "$tmp/wrapped.out" "$tmp/direct.out" || fail "the wrapper's output differs from the tool's"

# A source newer than the tool: the wrapper builds again, then is quick again.
touch "$root/tools/CMakeLists.txt"
run --help > /dev/null
[ -s "$tmp/calls" ] || fail "a changed source did not make the wrapper build"
run --help > /dev/null
[ ! -s "$tmp/calls" ] || fail "the wrapper did not take the quick path after building"
echo "check_wrapper: passed"
