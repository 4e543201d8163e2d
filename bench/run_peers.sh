#!/usr/bin/env bash
# Route programming at a million routes: our public API beside its peers,
# on the same prefix file, in one run, with the ratios.
#
#   bench/run_peers.sh                     everything (about 25 minutes; rte_lpm
#                                          takes most of it)
#   PEERS="fib linux" bench/run_peers.sh   leave rte_lpm out (about 8 minutes)
#   PEERS="fib linux" RUNS=1 bench/run_peers.sh   one run of each (about 4 minutes)
#
# Peers (built and run with their own scripts and flags from $PEERS_DIR,
# never copied here; by default ../shared/peers beside this checkout):
#   fib    DPDK rte_fib (DIR24_8 + RIB), bare library calls     lpm_bench -t fib
#   lpm    DPDK rte_lpm                                         lpm_bench -t lpm
#   linux  the Linux FIB through `ip -batch` in a private network namespace
#          (run_fib_bench.sh; needs root and ip netns)
# Ours: build/release/bench/bench_routes on the same file, all routes in one
# domain (like-for-like with the single-table peers) and spread over 64.
#
# Environment: N (1000000), SEED (1), RUNS (3), PEERS ("fib lpm linux"),
# PAUSE_S (10: seconds of the machine pause meter, before ours and at the end),
# OBJECTS (1: also run bench_tunnels, bench_assoc and bench_egress, about a
# minute; 0: routes only),
# MODES ("dev via", the kernel's route forms), PEERS_DIR (<checkout>/../shared/peers),
# OUT (/tmp/peers-out: peer binaries and every log), DATA (/tmp/peers-data:
# prefix files). Missing Debian packages (libdpdk-dev, pkg-config, iproute2,
# the build tools) are installed with apt-get.
#
# Output: the machine (CPU model from /proc/cpuinfo), the load average at
# the start, before each program and at the end, the raw RUN/SUMMARY lines
# of every program (also in $OUT/results/), then one table of the programs
# run this time (logs left in $OUT/results/ by earlier runs are not read):
# routes/s added and deleted (median and min..max of the runs), the
# slowest and the last tenth of the load against the first, for ours the
# median, 99.9th percentile and slowest single call, bytes per route, and
# each ratio ours / peer (medians; in brackets the slowest run of ours
# against the fastest of the peer). All figures are wall clock.
# What is compared: ours is the library plus the software platform's
# engine model (a model of the engine's trees in host memory); the peers'
# figures are real lookup structures (DPDK) and the kernel's FIB.
set -euo pipefail

HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(dirname "$HERE")"          # as named: its parent holds shared/peers
SRC="$(cd "$ROOT" && pwd -P)"      # the build runs in the real tree
N="${N:-1000000}"
SEED="${SEED:-1}"
RUNS="${RUNS:-3}"
PEERS="${PEERS:-fib lpm linux}"
MODES="${MODES:-dev via}"
OBJECTS="${OBJECTS:-1}"
PAUSE_S="${PAUSE_S:-10}"
PEERS_DIR="${PEERS_DIR:-$(dirname "$ROOT")/shared/peers}"
[ -d "$PEERS_DIR" ] || { echo "run_peers.sh: no peers at $PEERS_DIR (set PEERS_DIR)" >&2; exit 2; }
export OUT="${OUT:-/tmp/peers-out}"
export DATA="${DATA:-/tmp/peers-data}"
RES="$OUT/results"
mkdir -p "$OUT/bin" "$RES" "$DATA"
has_peer() { case " $PEERS " in *" $1 "*) return 0;; esac; return 1; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

# 1. Packages and builds.
need=()
command -v cc >/dev/null || need+=(gcc)
command -v pkg-config >/dev/null || need+=(pkg-config)
if has_peer linux; then command -v ip >/dev/null || need+=(iproute2); fi
if { has_peer fib || has_peer lpm; } && [ ! -x "$OUT/bin/lpm_bench" ]; then
  pkg-config --exists libdpdk 2>/dev/null || need+=(libdpdk-dev)
fi
if ((${#need[@]})); then
  echo "# installing: ${need[*]}"
  apt-get install -y "${need[@]}" >/dev/null 2>&1 ||
    { apt-get update >/dev/null && apt-get install -y "${need[@]}" >/dev/null; }
fi
"$SRC/scripts/deps.sh" >/dev/null
(cd "$SRC" && cmake --preset release >/dev/null &&
  cmake --build build/release --target bench_routes bench_tunnels bench_assoc bench_egress zel-prefixgen pause_meter -j2 >/dev/null)
OURS="$SRC/build/release/bench/bench_routes"
[ -x "$OUT/bin/prefixgen" ] || "$PEERS_DIR/prefixgen/build.sh" >/dev/null
if has_peer fib || has_peer lpm; then
  [ -x "$OUT/bin/lpm_bench" ] || "$PEERS_DIR/dpdk_lpm/build.sh" >/dev/null
fi

# 2. The prefix file, from the peers' generator; ours must read the same.
F="$DATA/prefixes_${N}_seed${SEED}.txt"
[ -s "$F" ] || "$OUT/bin/prefixgen" "$N" "$SEED" > "$F"
same=no
[ "$(md5sum < "$F")" = "$("$SRC/build/release/bench/zel-prefixgen" "$N" "$SEED" | md5sum)" ] && same=yes
HEAD="$RES/ratios_${N}.txt"
START_LOAD="$(load)"
{
  echo "# $(date -u +%FT%TZ), cpu:$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-), $(nproc) cores," \
       "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), kernel $(uname -r)," \
       "$(c++ --version | head -1), DPDK $(pkg-config --modversion libdpdk 2>/dev/null || echo none)"
  echo "# prefixes: $F md5 $(md5sum < "$F" | cut -d' ' -f1), our generator gives the same file: $same"
  echo "# load average at the start: $START_LOAD"
  echo "# ours: the library plus the software platform's engine model; peers: real lookup structures"
} | tee "$HEAD"

# 3. The runs, each program with all its runs in one process; the load
#    average before each is logged, since the machine may be shared.
#    Only the logs written in this run go into the table.
# The machine's own pauses, beside which our slowest calls are read: a
# loop that only reads the clock, before our runs and at the end.
pauses() { echo "# machine pauses $1 (pause_meter, $PAUSE_S s of a loop reading the clock): $("$SRC/build/release/bench/pause_meter" "$PAUSE_S")"; }
pauses "before ours" | tee -a "$HEAD"
echo "# load before ours: $(load)" | tee -a "$HEAD"
# One process per layout: the engine model keeps table memory it gave back
# for reuse, and the second layout must not start on the first one's.
{ "$OURS" -f "$F" -r "$RUNS" -d 1; "$OURS" -f "$F" -r "$RUNS" -d 64; } | tee "$RES/zel_ip_${N}.log"
logs=("$RES/zel_ip_${N}.log")
EAL=(-l 0 --no-huge --no-pci -m 2048 --no-shconf --no-telemetry
     --log-level=lib.eal:error --force-max-simd-bitwidth=512)
for impl in fib lpm; do
  has_peer "$impl" || continue
  echo "# load before rte_$impl: $(load)" | tee -a "$HEAD"
  "$OUT/bin/lpm_bench" "${EAL[@]}" -- -f "$F" -r "$RUNS" -t "$impl" 2>&1 | tee "$RES/dpdk_${impl}_${N}.log"
  logs+=("$RES/dpdk_${impl}_${N}.log")
done
linux_note=""
if has_peer linux; then
  probe="zelprobe$$"
  if [ "$(id -u)" -ne 0 ]; then
    linux_note="not run: needs root for ip netns"
  elif ! ip netns add "$probe" 2>/dev/null; then
    linux_note="not run: ip netns add failed here"
  else
    ip netns del "$probe"
    echo "# load before Linux FIB: $(load)" | tee -a "$HEAD"
    SIZES="$N" RUNS="$RUNS" MODES="$MODES" "$PEERS_DIR/linux_fib/run_fib_bench.sh" 2>&1 |
      tee "$RES/linux_fib_${N}.log" || linux_note="failed (see $RES/linux_fib_${N}.log)"
  fi
  if [ -z "$linux_note" ]; then logs+=("$RES/linux_fib_${N}.log"); else echo "# Linux FIB $linux_note"; fi
fi
if [ "$OBJECTS" = 1 ]; then
  for b in tunnels assoc egress; do
    echo "# load before bench_$b: $(load)" | tee -a "$HEAD"
    "$SRC/build/release/bench/bench_$b" 2>&1 | tee "$RES/objects_$b.log" | tee -a "$HEAD" >/dev/null
    cat "$RES/objects_$b.log"
  done
fi
pauses "at the end" | tee -a "$HEAD"
echo "# load at the end: $(load)" | tee -a "$HEAD"

# 4. The table.
awk -v n="$N" -v runs="$RUNS" -v linux_note="$linux_note" '
  function med(a, k,   i, j, t, b) { for (i = 1; i <= k; i++) b[i] = a[i]
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (b[j] < b[i]) { t = b[i]; b[i] = b[j]; b[j] = t }
    return b[int((k + 1) / 2)] }
  function mn(a, k,   i, m) { m = a[1]; for (i = 2; i <= k; i++) if (a[i] < m) m = a[i]; return m }
  function mx(a, k,   i, m) { m = a[1]; for (i = 2; i <= k; i++) if (a[i] > m) m = a[i]; return m }
  function kv(key,   i, p) { for (i = 1; i <= NF; i++) { split($i, p, "="); if (p[1] == key) return p[2] } return "" }
  function put(name, what, v) { cnt[name, what]++; val[name, what, cnt[name, what]] = v; if (!(name in seen)) { seen[name] = 1; order[++names] = name } }
  function list(name, what, out,   i) { for (i = 1; i <= cnt[name, what]; i++) out[i] = val[name, what, i]; return cnt[name, what] }
  # Ours and DPDK: RUN lines, then the per-tenth lines of that run.
  /^RUN impl=zel_ip/ { cur = "zel_ip, " kv("domains") (kv("domains") == 1 ? " domain" : " domains")
                       put(cur, "add", kv("add_rps")); put(cur, "del", kv("del_rps")); put(cur, "bytes", kv("bytes_per_route")) }
  /^RUN impl=(lpm|fib) / { cur = "rte_" kv("impl"); put(cur, "add", kv("add_rps")); put(cur, "del", kv("del_rps"))
                          put(cur, "bytes", kv("heap_struct_MiB") * 1048576 / n); fixed[cur] = 1 }
  /^RUN impl=linux_fib/ { linux_ran = 1; cur = "Linux FIB (" kv("mode") ")"; put(cur, "add", kv("add_rps")); put(cur, "del", kv("del_rps"))
                          put(cur, "bytes", kv("slab_B_per_route")); cur = "" }
  function slowest(d,   i, m) { m = d[1]; for (i = 2; i <= 10; i++) if (d[i] < m) m = d[i]; return m / d[1] }
  /^  add_rps_by_decile=/ && cur != "" { split(substr($1, 19), d, ","); put(cur, "tenths", d[10] / d[1]); put(cur, "slow_add", slowest(d)) }
  /^  del_rps_by_decile=/ && cur != "" { split(substr($1, 19), d, ","); put(cur, "slow_del", slowest(d)) }
  /^  TAIL (add|del):/ && cur != "" { w = ($2 == "add:") ? "a" : "d"
                                      put(cur, "med" w, kv("median_us")); put(cur, "p999" w, kv("p999_us")); put(cur, "max" w, kv("slowest_us"))
                                      put(cur, "over" w, kv("over_1ms")) }
  /^SLOW impl=zel_ip/ { nm = "zel_ip, " kv("domains") (kv("domains") == 1 ? " domain" : " domains")
                        slow[nm] = sprintf("| %s | %d | %d | %d | %d |", nm, kv("adds_over_1ms"), kv("adds_recurring"),
                                           kv("dels_over_1ms"), kv("dels_recurring"))
                        slow_window = kv("window") }
  /^CHECKS/ { checks = checks "\n#   " FILENAME ": " $0 }
  /^SUMMARY impl=linux_fib/ && !linux_checked { linux_checked = 1
    checks = checks "\n#   " FILENAME ": route counts right after the adds and the deletes (the script stops otherwise)" }
  END {
    printf "\n# Route add / delete at %d routes; runs: %d of each (median, min..max)\n", n, runs
    printf "| | add routes/s | delete routes/s | adds: last tenth / first | adds: slowest tenth / first | deletes: slowest tenth / first | bytes per route |\n|---|---|---|---|---|---|---|\n"
    for (i = 1; i <= names; i++) { nm = order[i]
      k = list(nm, "add", A); list(nm, "del", D); t = list(nm, "tenths", T); b = list(nm, "bytes", B)
      sa = list(nm, "slow_add", SA); sd = list(nm, "slow_del", SD)
      printf "| %s | %.0f (%.0f..%.0f) | %.0f (%.0f..%.0f) | %s | %s | %s | %s |\n", nm, med(A, k), mn(A, k), mx(A, k), med(D, k), mn(D, k), mx(D, k),
        t ? sprintf("%.2f (%.2f..%.2f)", med(T, t), mn(T, t), mx(T, t)) : "n/a",
        sa ? sprintf("%.2f (%.2f..%.2f)", med(SA, sa), mn(SA, sa), mx(SA, sa)) : "n/a",
        sd ? sprintf("%.2f (%.2f..%.2f)", med(SD, sd), mn(SD, sd), mx(SD, sd)) : "n/a",
        b ? sprintf("%.0f%s", med(B, b), fixed[nm] ? " (fixed at create)" : "") : "n/a"
      ma[nm] = med(A, k); md[nm] = med(D, k); la[nm] = mn(A, k); ld[nm] = mn(D, k); ha[nm] = mx(A, k); hd[nm] = mx(D, k); mb[nm] = b ? med(B, b) : "" }
    if (linux_note != "") printf "| Linux FIB | %s | | | | | |\n", linux_note
    printf "\n# Ours, single calls (microseconds, wall clock; median of the runs, in brackets the worst run)\n"
    printf "| | add: median | add: 99.9th percentile | add: slowest call | adds over 1 ms | delete: median | delete: 99.9th percentile | delete: slowest call | deletes over 1 ms |\n|---|---|---|---|---|---|---|---|---|\n"
    for (i = 1; i <= names; i++) { nm = order[i]; if (nm !~ /^zel_ip/) continue
      k = list(nm, "meda", M1); list(nm, "p999a", P1); list(nm, "maxa", X1); list(nm, "overa", O1)
      list(nm, "medd", M2); list(nm, "p999d", P2); list(nm, "maxd", X2); list(nm, "overd", O2)
      if (!k) continue
      printf "| %s | %.3f (%.3f) | %.2f (%.2f) | %.1f (%.1f) | %d (%d) | %.3f (%.3f) | %.2f (%.2f) | %.1f (%.1f) | %d (%d) |\n", nm,
        med(M1, k), mx(M1, k), med(P1, k), mx(P1, k), med(X1, k), mx(X1, k), med(O1, k), mx(O1, k),
        med(M2, k), mx(M2, k), med(P2, k), mx(P2, k), med(X2, k), mx(X2, k), med(O2, k), mx(O2, k) }
    if (slow_window != "") {
      printf "\n# Ours, calls over 1 ms in all runs, and those within %d calls of one in another run (work of ours that takes long falls at the same call in every run; a pause of the machine anywhere)\n", slow_window
      printf "| | adds over 1 ms | recurring | deletes over 1 ms | recurring |\n|---|---|---|---|---|\n"
      for (i = 1; i <= names; i++) { nm = order[i]; if (nm in slow) print slow[nm] } }
    ours = "zel_ip, 1 domain"
    printf "\n# Ratios, ours (one domain) / peer: medians (slowest run of ours / fastest run of the peer)\n"
    printf "| peer | add | delete | bytes per route, ours / peer |\n|---|---|---|---|\n"
    for (i = 1; i <= names; i++) { nm = order[i]; if (nm ~ /^zel_ip/) continue
      printf "| %s | %.2f (%.2f) | %.2f (%.2f) | %s |\n", nm, ma[ours] / ma[nm], la[ours] / ha[nm], md[ours] / md[nm], ld[ours] / hd[nm],
        mb[nm] != "" ? sprintf("%.0f / %.0f = %.2f", mb[ours], mb[nm], mb[ours] / mb[nm]) : "n/a" }
    if (linux_ran) printf "| kernel figure quoted by the peers | | | %.0f / 144 = %.2f |\n", mb[ours], mb[ours] / 144
    printf "\n# checks:%s\n", checks
  }' "${logs[@]}" | tee -a "$HEAD"
