#!/usr/bin/env bash
# bench/checksum.sh: what checking a checksum costs. One unthrottled `twk get -x 8` of a
# generated file from an nginx on loopback, with and without `--checksum sha-256=…`; prints the
# median wall time of each and their ratio (with over without; the aim is under 1.10, the hash
# being taken while the bytes arrive rather than in a second pass).
#
#   SIZE=1024   MiB
#   RUNS=3
# A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
size=${SIZE:-1024}
runs=${RUNS:-3}

if [ -z "${BENCH_NO_SETUP:-}" ]; then bash scripts/setup.sh; fi
source bench/common.sh
bench_nginx_work checksum
mkdir -p "$work/www"
head -c "$((size << 20))" /dev/urandom >"$work/www/file.bin"
sum=$(sha256sum "$work/www/file.bin" | cut -d' ' -f1)
loopback_nginx_start "$work/www" "$work/nginx"
url=http://127.0.0.1:$NGINX_PORT/file.bin

# run NAME ARGS...: one timed download into a fresh folder, its wall seconds into $work/NAME.runs
run() {
  local name=$1; shift
  rm -rf "$work/out"
  local start end
  start=$(date +%s.%N)
  "$twk" get -q --no-proxy -x 8 -d "$work/out" "$@" "$url"
  end=$(date +%s.%N)
  cmp -s "$work/out/file.bin" "$work/www/file.bin" || { echo "bench: the copy differs" >&2; exit 1; }
  echo "$end - $start" | bc >>"$work/$name.runs"
}

for i in $(seq 1 "$runs"); do
  run plain
  run checked --checksum "sha-256=$sum"
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
plain=$(median <"$work/plain.runs")
checked=$(median <"$work/checked.runs")
echo "$size MiB without a checksum: median ${plain} s"
echo "$size MiB with --checksum:    median ${checked} s"
echo "ratio checked/plain: $(echo "scale=2; $checked / $plain" | bc)"
