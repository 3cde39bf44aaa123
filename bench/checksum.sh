#!/usr/bin/env bash
# bench/checksum.sh: what checking a checksum costs. `twk get -x 8` of a generated file from an
# nginx on loopback, with and without `--checksum sha-256=…`; prints the median wall time of each
# and their ratio (with over without; the aim is under 1.10, the hash being taken while the bytes
# arrive rather than in a second pass), twk's CPU time, and how much of the file was left to
# hash when its last byte arrived (TWK_DEBUG_HASH). Two rows: unthrottled, and throttled to 200 MiB/s (a fast real
# link, where the ratio should be about 1.0). The throttle is twk's own --limit, which paces the
# reads and so the sender through TCP's window as a link would: nginx's limit_rate allows every
# request a second's worth at once, more than a 4 MiB range request asks for.
#
#   SIZE=1024   MiB
#   RUNS=3
#   ROWS="fast throttled"
# A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
size=${SIZE:-1024}
runs=${RUNS:-3}
rows=${ROWS:-fast throttled}

if [ -z "${BENCH_NO_SETUP:-}" ]; then bash scripts/setup.sh; fi
source bench/common.sh
bench_nginx_work checksum
mkdir -p "$work/www"
head -c "$((size << 20))" /dev/urandom >"$work/www/file.bin"
sum=$(sha256sum "$work/www/file.bin" | cut -d' ' -f1)
loopback_nginx_start "$work/www" "$work/nginx"

# run ROW NAME ARGS...: one timed download into a fresh folder; its wall seconds go into
# $work/ROW-NAME.runs, twk's CPU seconds into $work/ROW-NAME.cpu and the bytes left to hash at its end into $work/ROW-NAME.left.
run() {
  local row=$1 name=$2; shift 2
  local throttle=()
  [ "$row" = fast ] || throttle=(--limit 200M)
  rm -rf "$work/out"
  TWK_DEBUG_HASH=1 /usr/bin/time -f "%e %U %S" -o "$work/time.txt" \
    "$twk" get -q --no-proxy -x 8 "${throttle[@]}" -d "$work/out" "$@" \
    "http://127.0.0.1:$NGINX_PORT/file.bin" >/dev/null 2>"$work/stderr"
  cmp -s "$work/out/file.bin" "$work/www/file.bin" || { echo "bench: the copy differs" >&2; exit 1; }
  awk '{ print $1 }' "$work/time.txt" >>"$work/$row-$name.runs"
  awk '{ print $2 + $3 }' "$work/time.txt" >>"$work/$row-$name.cpu"
  sed -n 's/^\[hash\] \([0-9]*\) of .*/\1/p' "$work/stderr" >>"$work/$row-$name.left"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
for row in $rows; do
  for i in $(seq 1 "$runs"); do
    run "$row" plain
    run "$row" checked --checksum "sha-256=$sum"
  done
  plain=$(median <"$work/$row-plain.runs")
  checked=$(median <"$work/$row-checked.runs")
  left=$(median <"$work/$row-checked.left")
  echo "$row, $size MiB without a checksum: median ${plain} s, twk's CPU $(median <"$work/$row-plain.cpu") s"
  echo "$row, $size MiB with --checksum:    median ${checked} s, twk's CPU $(median <"$work/$row-checked.cpu") s," \
    "$(echo "scale=1; $left / 1048576" | bc) MiB left to hash after the last byte"
  echo "$row, ratio checked/plain: $(echo "scale=3; $checked / $plain" | bc)"
done
