#!/usr/bin/env bash
# bench/ramp.sh: how soon twk reaches full speed on a server that throttles every connection.
# One file from an nginx on loopback sending at most 2 MiB/s per connection in 64 KiB pieces
# (limit_rate 2m, sendfile_max_chunk 64k), so that the total speed grows with every connection
# opened: twk -x16 and twk -x32 against aria2c -x16 -s16, run in rounds (every tool once per
# round) so that all see the same machine. Prints every run's wall time, CPU time (user +
# system) and, for twk, the second at which its connection target first reached the count asked
# for (from the TWK_DEBUG_ADAPT lines); then the medians and the ratios of twk's median wall to
# aria2c's (lower is better). Every copy is compared with the original.
#
#   SIZE_MIB=256     file size
#   RUNS=5           rounds
#   TOOLS="twk16 twk32 aria2"
# A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

size=${SIZE_MIB:-256}
runs=${RUNS:-5}
tools=${TOOLS:-twk16 twk32 aria2}

source bench/common.sh
if [ -z "${BENCH_NO_SETUP:-}" ]; then
  bash scripts/setup.sh
  bench_need aria2 time
fi
bench_nginx_work ramp
mkdir -p "$work/www/chunk64k" "$work/out"

echo "bench: generating ${size} MiB" >&2
head -c $((size * 1024 * 1024)) /dev/urandom >"$work/www/chunk64k/f.bin"
loopback_nginx_start "$work/www" "$work/nginx" "location /chunk64k/ { limit_rate 2m; sendfile_max_chunk 64k; }"
url=http://127.0.0.1:$NGINX_PORT/chunk64k/f.bin

# run_tool TOOL: prints "wall cpu full_at ok|BAD" (full_at "-" for aria2c, or when never reached).
run_tool() {
  local tool=$1 status=0 check=ok cmd count=""
  rm -f "$work/out"/*
  case "$tool" in
    twk16) count=16 ;;
    twk32) count=32 ;;
  esac
  case "$tool" in
    twk*) cmd=(env TWK_DEBUG_ADAPT=1 "$twk" get -q -x "$count" -d "$work/out" "$url") ;;
    aria2) cmd=(aria2c -x16 -s16 -k1M -q --allow-overwrite=true -d "$work/out" -o f.bin "$url") ;;
    *) echo "bench: unknown tool $tool" >&2; exit 2 ;;
  esac
  /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "${cmd[@]}" >"$work/tool.log" 2>&1 || status=$?
  if [ "$status" != 0 ] || ! cmp -s "$work/www/chunk64k/f.bin" "$work/out/f.bin"; then check=BAD; fi
  rm -f "$work/out"/*
  local full_at=-
  if [ -n "$count" ]; then
    full_at=$(awk -v n="$count" '/\[adapt\]/ { for (i = 1; i <= NF; i++) { if ($i ~ /^t=/) t = substr($i, 3); if ($i == "target=" n) { print t; exit } } }' "$work/tool.log")
    [ -n "$full_at" ] || full_at=-
  fi
  read -r wall user sys <"$work/time.txt"
  echo "$wall $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') $full_at $check"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "twk $("$twk" version | cut -d' ' -f2), $(aria2c --version | head -1), nginx $(nginx -v 2>&1 | cut -d/ -f2); $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $runs round(s), ${size} MiB at 2 MiB/s per connection"
printf '%-7s %4s %8s %8s %8s  %s\n' tool run "wall s" "CPU s" "full at" check
: >"$work/runs"
for run in $(seq 1 "$runs"); do
  for tool in $tools; do
    read -r wall cpu full_at check < <(run_tool "$tool")
    printf '%-7s %4d %8.2f %8.2f %8s  %s\n' "$tool" "$run" "$wall" "$cpu" "$full_at" "$check"
    echo "$tool $wall $cpu $full_at" >>"$work/runs"
  done
done
med() { awk -v t="$1" -v c="$2" '$1 == t && $c != "-" { print $c }' "$work/runs" | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo
echo "medians over $runs round(s):"
for tool in $tools; do
  line="  $tool: wall $(med "$tool" 2) s, CPU $(med "$tool" 3) s"
  if [ "$tool" != aria2 ]; then line+=", full count at $(med "$tool" 4) s"; fi
  if [ "$tool" != aria2 ] && [[ " $tools " == *" aria2 "* ]]; then
    line+="; wall/aria2 $(ratio "$(med "$tool" 2)" "$(med aria2 2)"), CPU/aria2 $(ratio "$(med "$tool" 3)" "$(med aria2 3)")"
  fi
  echo "$line"
done
