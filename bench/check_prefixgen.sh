#!/bin/sh
# Checks that our prefix generator (bench/prefixgen.cpp) prints exactly what
# the peers' generator prints: builds both into a scratch directory and
# compares the md5 of `N SEED` (default 100000 1).
#   PEERS   the peers folder (default: ../shared/peers beside the repository)
#   OUT     scratch directory (default: /tmp/zel-prefixgen-check)
set -eu
N="${1:-100000}"
SEED="${2:-1}"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
PEERS="${PEERS:-$ROOT/../shared/peers}"
[ -d "$PEERS/prefixgen" ] || PEERS=/work/shared/peers
OUT="${OUT:-/tmp/zel-prefixgen-check}"
mkdir -p "$OUT/bin"

OUT="$OUT" "$PEERS/prefixgen/build.sh" >/dev/null
${CXX:-c++} -O2 -std=c++20 -o "$OUT/bin/zel-prefixgen" \
    "$ROOT/bench/prefixgen.cpp" "$ROOT/bench/prefixgen_main.cpp"

peer=$("$OUT/bin/prefixgen" "$N" "$SEED" | md5sum | cut -d' ' -f1)
ours=$("$OUT/bin/zel-prefixgen" "$N" "$SEED" | md5sum | cut -d' ' -f1)
echo "peer prefixgen $N $SEED: $peer"
echo "zel-prefixgen  $N $SEED: $ours"
if [ "$peer" != "$ours" ]; then
    echo "MISMATCH" >&2
    exit 1
fi
echo "identical"
