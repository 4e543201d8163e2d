#!/usr/bin/env bash
# Checks bench/run_peers.sh's plumbing, not speed: with stand-in peers
# beside a checkout (../shared/peers, found without PEERS_DIR) and logs of
# every peer left in the results folder by an earlier run, a run with
# PEERS="fib" must build the prefix generator from those peers, run ours and
# the DPDK stand-in on a small file, and print only those in its table.
# Uses the release build (run_peers.sh builds bench_routes if needed).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "check_run_peers: FAIL: $*" >&2; exit 1; }

# A checkout seen through a link, with the stand-in peers beside it.
mkdir -p "$tmp/w/shared/peers/prefixgen" "$tmp/out/bin" "$tmp/out/results"
ln -s "$root" "$tmp/w/checkout"
cat > "$tmp/w/shared/peers/prefixgen/build.sh" <<'STUB'
#!/bin/sh
# Stand-in: the peers' generator prints what ours prints.
cp "$ROOT_FOR_STUB/build/release/bench/zel-prefixgen" "$OUT/bin/prefixgen"
touch "$OUT/peers-dir-used"
STUB
# An lpm_bench built by an earlier run: fixed figures in the real format.
cat > "$tmp/out/bin/lpm_bench" <<'STUB'
#!/bin/sh
t=""
while [ $# -gt 0 ]; do [ "$1" = -t ] && t="$2"; shift; done
echo "RUN impl=$t run=1 add_rps=4000000 del_rps=5000000 heap_struct_MiB=100"
echo "  add_rps_by_decile=1,1,1,1,1,1,1,1,1,1"
STUB
chmod +x "$tmp/w/shared/peers/prefixgen/build.sh" "$tmp/out/bin/lpm_bench"
# Left over from an earlier run with every peer.
n=2000
echo "RUN impl=linux_fib mode=dev add_rps=777 del_rps=777 slab_B_per_route=144" > "$tmp/out/results/linux_fib_$n.log"
echo "RUN impl=lpm run=1 add_rps=666 del_rps=666 heap_struct_MiB=1" > "$tmp/out/results/dpdk_lpm_$n.log"

ROOT_FOR_STUB="$root" OUT="$tmp/out" DATA="$tmp/data" N="$n" RUNS=1 PEERS="fib" OBJECTS=0 PAUSE_S=0.2 \
  "$tmp/w/checkout/bench/run_peers.sh" > "$tmp/run.log" 2>&1 || { cat "$tmp/run.log" >&2; fail "run_peers.sh failed"; }
table="$(sed -n '/^# Route add/,$p' "$tmp/run.log")"
echo "$table"
[ -e "$tmp/out/peers-dir-used" ] || fail "the peers beside the checkout were not used"
grep -q "our generator gives the same file: yes" "$tmp/run.log" || fail "the prefix files differ"
for row in "| zel_ip, 1 domain |" "| zel_ip, 64 domains |" "| rte_fib |"; do
  grep -qF "$row" <<<"$table" || fail "no row $row"
done
grep -q "load average at the start: " "$tmp/run.log" || fail "no load average at the start"
grep -q "load at the end: " "$tmp/run.log" || fail "no load average at the end"
grep -q "cpu: " "$tmp/run.log" || fail "no CPU model"
grep -qF "| zel_ip, 1 domain | " <<<"$(sed -n '/^# Ours, single calls/,/^$/p' "$tmp/run.log")" || fail "no single-call row of ours"
grep -qF "| zel_ip, 64 domains | " <<<"$(sed -n '/^# Ours, calls over 1 ms/,/^$/p' "$tmp/run.log")" || fail "no row of calls over 1 ms"
[ "$(grep -c "machine pauses .*PAUSES seconds=" "$tmp/run.log")" -ge 2 ] || fail "no machine pauses before ours and at the end"
for stale in "Linux FIB" "rte_lpm" "kernel figure"; do
  ! grep -qF "$stale" <<<"$table" || fail "the table shows $stale, which this run did not run"
done
echo "check_run_peers: passed"
