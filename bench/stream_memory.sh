#!/usr/bin/env bash
# bench/stream_memory.sh: what a very long playlist costs. An nginx on loopback serves an HLS
# playlist of BENCH_SEGMENTS (default 1,000,000) one-second segments, each a distinct URL
# answered with the same 188-byte TS packet; twk downloads it with -x 8 and /usr/bin/time -v
# reports its peak memory. The figure is the peak above that of a 10-segment playlist, divided
# by the segments twk planned (a playlist of more than 1,000,000 is refused), next to the 200-byte
# budget. A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
segments=${BENCH_SEGMENTS:-1000000}
cap=1000000

source bench/common.sh
bench_require nginx /usr/bin/time
bench_nginx_work stream-memory
mkdir -p "$work/www"
head -c 188 /dev/zero | tr '\0' 'G' >"$work/www/packet.ts"
# playlist COUNT FILE
playlist() {
  awk -v n="$1" 'BEGIN {
    print "#EXTM3U"; print "#EXT-X-VERSION:3"; print "#EXT-X-TARGETDURATION:1"
    for (i = 0; i < n; i++) printf "#EXTINF:1.0,\ns/%07d.ts\n", i
    print "#EXT-X-ENDLIST" }' >"$2"
}
playlist "$segments" "$work/www/long.m3u8"
playlist 10 "$work/www/short.m3u8"
loopback_nginx_start "$work/www" "$work/nginx" "location /s/ { try_files /packet.ts =404; }"

# peak_kib PLAYLIST: downloads it and prints twk's peak resident KiB and its wall seconds.
peak_kib() {
  rm -rf "$work/out"
  mkdir -p "$work/out"
  local status=0
  /usr/bin/time -v -o "$work/time.txt" "$twk" get -q -x 8 -d "$work/out" \
    "http://127.0.0.1:$NGINX_PORT/$1" >"$work/twk.log" 2>&1 || status=$?
  if [ "$status" != 0 ]; then
    echo "bench: twk failed on $1:" >&2
    cat "$work/twk.log" >&2
    exit 1
  fi
  bench_result ok
  awk '{ print $3, $1 }' "$work/result"
}

read -r base base_wall < <(peak_kib short.m3u8)
read -r long long_wall < <(peak_kib long.m3u8)
planned=$((segments < cap ? segments : cap))
echo
echo "HLS playlist of $segments segments ($planned planned), 188 bytes each"
printf '%-14s %10s %9s\n' playlist "peak MiB" "wall s"
printf '%-14s %10s %9s\n' "10 segments" "$(awk -v k="$base" 'BEGIN { printf "%.1f", k / 1024 }')" "$base_wall"
printf '%-14s %10s %9s\n' "$segments" "$(awk -v k="$long" 'BEGIN { printf "%.1f", k / 1024 }')" "$long_wall"
awk -v a="$long" -v b="$base" -v n="$planned" \
  'BEGIN { printf "bytes per planned segment: %.0f (budget 200)\n", (a - b) * 1024 / n }'
