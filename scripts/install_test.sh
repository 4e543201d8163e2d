#!/usr/bin/env bash
# Installs a build into a temporary prefix, moves the installed tree (the
# pkg-config and CMake files must follow it) and builds programs against it
# as a user would:
#   - tests/install/only_zel_ip.c (the module's calls only) and
#     tests/c_api/c_api_test.c (module and software platform), each compiled
#     with exactly `pkg-config --cflags --libs zel-ip zel-ip-sim`, with the
#     toolchain's default linking and with -Wl,--as-needed;
#   - tests/install/consumer, a C++ program, through find_package(zel-ip);
# then runs them all on the software platform.
#   scripts/install_test.sh [build-dir]      (default build/default, built first)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/default}"
command -v pkg-config >/dev/null || { echo "install_test: pkg-config is missing (scripts/deps.sh installs it)" >&2; exit 2; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
cmake --build "$build" -j2 >/dev/null
cmake --install "$build" --prefix "$tmp/staged" >/dev/null
mv "$tmp/staged" "$tmp/prefix"
prefix="$tmp/prefix"
libdir="$(cd "$(dirname "$(find "$prefix" -name zel-ip.pc -path '*/pkgconfig/*')")/.." && pwd)"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
export LD_LIBRARY_PATH="$libdir"

fail() { echo "install_test: FAIL: $*" >&2; exit 1; }
flags="$(pkg-config --cflags --libs zel-ip zel-ip-sim)" || fail "pkg-config does not know zel-ip and zel-ip-sim"
echo "pkg-config --cflags --libs zel-ip zel-ip-sim: $flags"
case "$flags" in
  *"$tmp/staged"*) fail "the pkg-config files still name the prefix they were installed to" ;;
esac
for pc in zel-ip zel-ip-sim; do
  for d in "$(pkg-config --variable=libdir $pc)" "$(pkg-config --variable=includedir $pc)"; do
    case "$d" in
      "$prefix"/*) [ -d "$d" ] || fail "$pc.pc names $d, which is not there" ;;
      *) fail "$pc.pc names $d, outside the installed tree $prefix" ;;
    esac
  done
done

for prog in tests/install/only_zel_ip.c tests/c_api/c_api_test.c; do
  name="$(basename "$prog" .c)"
  for link in default as-needed; do
    extra=()
    [ "$link" = as-needed ] && extra=(-Wl,--as-needed)
    # shellcheck disable=SC2086
    cc -o "$tmp/$name-$link" "$root/$prog" "${extra[@]}" $flags ||
      fail "$prog does not link with pkg-config's flags ($link linking)"
    rc=0
    "$tmp/$name-$link" >"$tmp/run.log" 2>&1 || rc=$?
    [ "$rc" = 0 ] || { cat "$tmp/run.log" >&2; fail "$prog ($link linking) exited with status $rc"; }
    echo "$prog: built through pkg-config ($link linking) and ran"
  done
done

cmake -S "$root/tests/install/consumer" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_EXE_LINKER_FLAGS=-Wl,--as-needed >"$tmp/consumer.log" 2>&1 &&
  cmake --build "$tmp/consumer" >>"$tmp/consumer.log" 2>&1 ||
  { cat "$tmp/consumer.log" >&2; fail "the find_package(zel-ip) consumer does not build"; }
rc=0
"$tmp/consumer/consumer" || rc=$?
[ "$rc" = 0 ] || fail "the find_package(zel-ip) consumer exited with status $rc"
echo "install_test: passed"
