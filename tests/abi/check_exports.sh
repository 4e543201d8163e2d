#!/bin/sh
# The exported symbols of a shared library against the C declarations of
# its public headers.
#
#   check_exports.sh --cc CC --lib LIB [--marker MACRO] [--map MAP]
#                    --headers DIR [--headers DIR ...] [-I DIR ...]
#
# Every function or object declared in the headers of the --headers
# directories (each header is compiled as C, so a header that does not
# compile as C fails here too) must be exported by LIB, and LIB must export
# nothing else. With --marker, every such declaration must also carry that
# macro (the library is compiled with hidden visibility, so an unmarked
# declaration would not be exported). Each mismatch is printed with what to
# do about it; the exit status is 1 when there is one.
set -eu

cc="" lib="" marker="" map="" hdirs="" incs=""
while [ $# -gt 0 ]; do
  case "$1" in
    --cc) cc="$2"; shift 2 ;;
    --lib) lib="$2"; shift 2 ;;
    --marker) marker="$2"; shift 2 ;;
    --map) map="$2"; shift 2 ;;
    --headers) hdirs="$hdirs $2"; incs="$incs -I$2"; shift 2 ;;
    -I) incs="$incs -I$2"; shift 2 ;;
    *) echo "check_exports.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$cc" ] && [ -n "$lib" ] && [ -n "$hdirs" ] || { echo "check_exports.sh: --cc, --lib and --headers are needed" >&2; exit 2; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
libname="$(basename "$lib")"

# 1. The declarations: "<name> <marked 0/1> <header>", from the
#    preprocessed headers (only the text that comes from the header
#    directories; the macro under test is replaced by a token that
#    survives preprocessing).
: > "$tmp/all.c"
for d in $hdirs; do
  for h in "$d"/*.h; do echo "#include \"$h\"" >> "$tmp/all.c"; done
done
defs=""
[ -n "$marker" ] && defs="-D$marker=__zel_exported__"
# shellcheck disable=SC2086
if ! "$cc" -E $defs $incs "$tmp/all.c" > "$tmp/all.i" 2> "$tmp/cc.err"; then
  cat "$tmp/cc.err" >&2
  echo "FAIL: the public headers do not compile as C (above)." >&2
  exit 1
fi
awk -v dirs="$hdirs" '
  BEGIN { n = split(dirs, D, " ") }
  function ours(f,   i) { for (i = 1; i <= n; i++) if (index(f, D[i] "/") == 1) return 1; return 0 }
  function flush(   s, name, m) {
    s = stmt; stmt = ""
    gsub(/[ \t\n]+/, " ", s); sub(/^ /, "", s)
    if (s == "" || s ~ /^typedef /) return
    m = (s ~ /__zel_exported__/)
    if (index(s, "(") > 0) {                      # a function
      s = substr(s, 1, index(s, "(") - 1)
    } else if (s ~ /(^| )extern /) {              # an object
      sub(/[[=].*/, "", s)
    } else return                                  # struct/enum tags
    sub(/ +$/, "", s)
    if (!match(s, /[A-Za-z_][A-Za-z_0-9]*$/)) return
    name = substr(s, RSTART, RLENGTH)
    print name, m, stmtfile
  }
  /^# [0-9]+ "/ { f = $3; gsub(/"/, "", f); keep = ours(f); next }
  !keep { next }
  { line = $0
    for (i = 1; i <= length(line); i++) {
      c = substr(line, i, 1)
      if (c == "{") { depth++; continue }
      if (c == "}") { depth--; continue }
      if (depth > 0) continue
      if (stmt ~ /^[ ]*$/) stmtfile = f
      if (c == ";") { flush(); continue }
      stmt = stmt c
    }
    stmt = stmt " "
  }' "$tmp/all.i" | sort -u -k1,1 > "$tmp/declared"

# 2. What the library exports.
nm -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' | sed 's/@.*//' | sort -u > "$tmp/exported"

# 3. The comparison.
cut -d' ' -f1 "$tmp/declared" > "$tmp/declared.names"
status=0
if [ -n "$marker" ]; then
  awk -v mk="$marker" '$2 == 0 {
      printf "FAIL: %s is declared in %s without %s: put %s in front of its declaration.\n", $1, $3, mk, mk; bad = 1 }
    END { exit bad }' "$tmp/declared" >&2 || status=1
fi
maphint=""
[ -n "$map" ] && maphint=" and give it a name that $map exports (or add the name there)"
while read -r name mark file; do
  [ -n "$marker" ] && [ "$mark" = 0 ] && continue   # reported above
  grep -qx "$name" "$tmp/exported" && continue
  echo "FAIL: $name is declared in $file but $libname does not export it: define it in the library (with C linkage, the definition seeing the header's declaration)$maphint." >&2
  status=1
done < "$tmp/declared"
for name in $(comm -13 "$tmp/declared.names" "$tmp/exported"); do
  case "$name" in
    _Z*) what="a C++ symbol ($(echo "$name" | c++filt))" ;;
    *) what="a C symbol" ;;
  esac
  echo "FAIL: $libname exports $name, $what that no public header declares: if it belongs to the API, declare it in a public header${marker:+ with $marker}; if not, keep it internal (no ${marker:-visibility} attribute on it, static or in a namespace)." >&2
  status=1
done
[ "$status" = 0 ] && echo "$libname exports exactly the $(wc -l < "$tmp/declared") functions and objects its public headers declare."
exit "$status"
