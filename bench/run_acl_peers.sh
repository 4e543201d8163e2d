#!/usr/bin/env bash
# Extended ACL filters beside DPDK rte_acl, in one run, with the ratios.
#
#   bench/run_acl_peers.sh            N = 64, 1000, 10000 over 32 rule sets
#   NS=64,1000 RUNS=5 bench/run_acl_peers.sh
#
# Ours: build/release/bench/bench_acl (public API on the software
# platform: rule adds and the commits of 32 sets; one action change and
# its commit in a full set). Peer: acl_peer_rte.c, built here against
# Debian's libdpdk-dev (pkg-config) into $OUT/bin and never linked into
# the library: the same rule shapes in 32 rte_acl contexts (add rules +
# build; a change = reset + add + build of one context).
#
# Environment: NS (64,1000,10000), RUNS (21, changes timed per N), SEED (1),
# OUT (/tmp/peers-out). Missing packages (libdpdk-dev, pkg-config) are
# installed with apt-get. Take figures on an idle machine only.
#
# Output: both programs' lines, then per N: rules/s of each, ours / peer
# (>= 1.0: ours at least as fast), and the change+commit time of each with
# peer / ours.
set -euo pipefail

HERE="$(cd "$(dirname "$0")" && pwd)"
SRC="$(cd "$(dirname "$HERE")" && pwd -P)"
NS="${NS:-64,1000,10000}"
RUNS="${RUNS:-21}"
SEED="${SEED:-1}"
OUT="${OUT:-/tmp/peers-out}"
mkdir -p "$OUT/bin" "$OUT/results"

need=()
command -v pkg-config >/dev/null || need+=(pkg-config)
pkg-config --exists libdpdk 2>/dev/null || need+=(libdpdk-dev)
if ((${#need[@]})); then
  echo "# installing: ${need[*]}"
  apt-get install -y "${need[@]}" >/dev/null 2>&1 ||
    { apt-get update >/dev/null && apt-get install -y "${need[@]}" >/dev/null; }
fi
${CC:-cc} -O3 -march=native -std=gnu11 -Wall -Wextra $(pkg-config --cflags libdpdk) \
  -o "$OUT/bin/acl_peer_rte" "$HERE/acl_peer_rte.c" $(pkg-config --libs libdpdk)
"$SRC/scripts/deps.sh" >/dev/null
(cd "$SRC" && cmake --preset release >/dev/null && cmake --build build/release --target bench_acl -j2 >/dev/null)

R="$OUT/results/acl_$(date -u +%Y%m%dT%H%M%SZ).txt"
{
  echo "# $(date -u +%FT%TZ), load $(cut -d' ' -f1-3 /proc/loadavg), DPDK $(pkg-config --modversion libdpdk)"
  "$SRC/build/release/bench/bench_acl" -n "$NS" -r "$RUNS" -s "$SEED"
  "$OUT/bin/acl_peer_rte" -- -n "$NS" -r "$RUNS" -s "$SEED"
} | tee "$R"

echo
printf '%-7s %14s %14s %10s %16s %16s %10s\n' N ours_rules/s rte_rules/s ours/rte ours_change_us rte_change_us rte/ours
awk '
  function val(line, key,   i, n, a) { n = split(line, a, " "); for (i = 1; i <= n; i++) if (index(a[i], key "=") == 1) return substr(a[i], length(key) + 2); return "" }
  /^ACL / { n = val($0, "n"); our_r[n] = val($0, "rules_per_s"); our_m[n] = val($0, "modify_commit_us_median"); order[++k] = n }
  /^RTE_ACL / { n = val($0, "n"); rte_r[n] = val($0, "rules_per_s"); rte_m[n] = val($0, "modify_commit_us_median") }
  END {
    for (i = 1; i <= k; i++) { n = order[i]
      printf "%-7s %14s %14s %10.2f %16s %16s %10.2f\n", n, our_r[n], rte_r[n], (rte_r[n] ? our_r[n] / rte_r[n] : 0),
             our_m[n], rte_m[n], (our_m[n] ? rte_m[n] / our_m[n] : 0) }
  }' "$R"
