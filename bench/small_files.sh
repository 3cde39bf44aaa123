#!/usr/bin/env bash
# bench/small_files.sh: what a download costs beyond its bytes, on files from an nginx on
# loopback, where the transfer itself takes a few milliseconds:
#   one     one 64 KiB file: `twk get` against curl (target: twk within 1.5x curl's wall time)
#   many    1,000 files of 64 KiB: `twk get -j 8` against `aria2c -j 8` (target: no slower)
# Each run is timed (wall clock, until the tool exits) into a fresh folder and every copy is
# compared with the original. Prints every run, then the medians and the ratio of twk's median
# to the peer's (lower is better).
#
#   RUNS=5        runs per tool for "one" (the median is reported)
#   MANY_RUNS=3   runs per tool for "many"
#   FILES=1000    files in "many"
#   SCENARIOS="one many"
# A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

runs=${RUNS:-5}
many_runs=${MANY_RUNS:-3}
files=${FILES:-1000}
scenarios=${SCENARIOS:-one many}

if [ -z "${BENCH_NO_SETUP:-}" ]; then
  bash scripts/setup.sh
fi
for tool in curl aria2c nginx; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 1; }
done
# Only the command-line program: the benchmark needs no tests and no desktop app.
source bench/common.sh
bench_nginx_work small
mkdir -p "$work/www/many"
head -c 65536 /dev/urandom >"$work/www/one.bin"
for i in $(seq 1 "$files"); do
  head -c 65536 /dev/urandom >"$work/www/many/f$i.bin"
done
loopback_nginx_start "$work/www" "$work/nginx"
base=http://127.0.0.1:$NGINX_PORT
for i in $(seq 1 "$files"); do echo "$base/many/f$i.bin"; done >"$work/many.list"

now_ns() { date +%s%N; }

# timed OUT_DIR COMMAND...: runs the command, prints its wall time in seconds.
timed() {
  local out=$1 start end
  shift
  rm -rf "$out" && mkdir -p "$out"
  start=$(now_ns)
  "$@" >/dev/null 2>"$work/stderr" || { echo "bench: $* failed:" >&2; cat "$work/stderr" >&2; exit 1; }
  end=$(now_ns)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.4f\n", ns / 1e9 }'
}

# check OUT_DIR SUBFOLDER: every copy equals its original.
check() {
  local out=$1 sub=$2 f
  for f in "$work/www/$sub"/*.bin; do
    cmp -s "$f" "$out/${f##*/}" || { echo "bench: $out/${f##*/} differs from the original" >&2; exit 1; }
  done
}

median() { sort -n | awk '{ a[NR] = $1 } END { print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# compare NAME TWK_TIMES PEER_NAME PEER_TIMES
compare() {
  local t p
  t=$(median <"$2")
  p=$(median <"$4")
  printf '%-6s median  twk %.4f s   %s %.4f s   ratio %.2f\n' "$1" "$t" "$3" "$p" \
    "$(awk -v a="$t" -v b="$p" 'BEGIN { print a / b }')"
}

for scenario in $scenarios; do
  : >"$work/twk.times"
  : >"$work/peer.times"
  case $scenario in
    one)
      for run in $(seq 1 "$runs"); do
        tw=$(timed "$work/out-twk" "$twk" get -q -d "$work/out-twk" "$base/one.bin")
        cmp -s "$work/www/one.bin" "$work/out-twk/one.bin" || { echo "bench: twk copy differs" >&2; exit 1; }
        cu=$(timed "$work/out-curl" curl -sf -o "$work/out-curl/one.bin" "$base/one.bin")
        cmp -s "$work/www/one.bin" "$work/out-curl/one.bin" || { echo "bench: curl copy differs" >&2; exit 1; }
        echo "$tw" >>"$work/twk.times"
        echo "$cu" >>"$work/peer.times"
        printf 'one    run %d  twk %s s  curl %s s\n' "$run" "$tw" "$cu"
      done
      compare one "$work/twk.times" curl "$work/peer.times"
      ;;
    many)
      mapfile -t urls <"$work/many.list"
      for run in $(seq 1 "$many_runs"); do
        tw=$(timed "$work/out-twk" "$twk" get -q -j 8 -d "$work/out-twk" "${urls[@]}")
        check "$work/out-twk" many
        ar=$(timed "$work/out-aria2" aria2c -q -j 8 --allow-overwrite=true -d "$work/out-aria2" -i "$work/many.list")
        check "$work/out-aria2" many
        echo "$tw" >>"$work/twk.times"
        echo "$ar" >>"$work/peer.times"
        printf 'many   run %d  twk %s s  aria2c %s s\n' "$run" "$tw" "$ar"
      done
      compare many "$work/twk.times" aria2c "$work/peer.times"
      ;;
    *) echo "bench: unknown scenario $scenario" >&2; exit 2 ;;
  esac
done
