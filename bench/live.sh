#!/usr/bin/env bash
# bench/live.sh: records a live HLS stream that ffmpeg makes at real time and nginx serves on
# loopback, and prints twk's CPU time as a share of one core over the recording, with ffmpeg's
# own reader (-c copy of the same playlist) beside it.
#
# The stream: 720p testsrc2 with a sine tone, H.264/AAC in 2 s MPEG-TS segments, a 6-segment
# window (old segments deleted), written by `ffmpeg -re` for BENCH_LIVE_SECONDS (default 600,
# ten minutes). twk records with `twk get` until the playlist ends; the target is under 1 % of a
# core. The file is checked to be readable by ffprobe. A benchmark, not a test: no figure here
# passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${BENCH_LIVE_SECONDS:-600}

source bench/common.sh
bench_require ffmpeg ffprobe nginx /usr/bin/time
bench_nginx_work live
encoder=""
bench_at_exit '[ -z "$encoder" ] || kill "$encoder" 2>/dev/null'
mkdir -p "$work/www/live" "$work/out" "$work/peer"
loopback_nginx_start "$work/www" "$work/nginx" ""
url="http://127.0.0.1:$NGINX_PORT/live/index.m3u8"

echo "bench: ffmpeg makes ${seconds} s of 720p live HLS at real time" >&2
ffmpeg -nostdin -hide_banner -loglevel error -re -f lavfi -i "testsrc2=size=1280x720:rate=30" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$seconds" \
  -c:v libx264 -preset ultrafast -g 60 -keyint_min 60 -sc_threshold 0 -b:v 4M -c:a aac -b:a 128k \
  -f hls -hls_time 2 -hls_list_size 6 -hls_flags delete_segments+temp_file \
  -hls_segment_filename "$work/www/live/seg%05d.ts" "$work/www/live/index.m3u8" &
encoder=$!
for _ in $(seq 100); do [ -s "$work/www/live/index.m3u8" ] && break; sleep 0.1; done

# Both readers start at once and end with the playlist's end.
/usr/bin/time -v -o "$work/twk.time" "$twk" get -q --live-from-start -d "$work/out" "$url" \
  >"$work/twk.log" 2>&1 &
twk_pid=$!
/usr/bin/time -v -o "$work/ffmpeg.time" ffmpeg -nostdin -loglevel error -live_start_index 0 -i "$url" \
  -c copy -f mpegts "$work/peer/index.ts" >"$work/ffmpeg.log" 2>&1 &
peer_pid=$!
wait "$encoder" || true
encoder=""
twk_status=0
wait "$twk_pid" || twk_status=$?
wait "$peer_pid" || true

report() { # NAME TIMEFILE FILE
  cp "$2" "$work/time.txt"
  local check=ok
  if [ ! -s "$3" ] || ! ffprobe -v error -show_entries format=duration -of csv=p=0 "$3" >/dev/null 2>&1; then
    check=FAILED
  fi
  bench_result "$check"
  read -r wall cpu rss check <"$work/result"
  printf '%-8s %9s %9s %9s %10s  %s\n' "$1" "$wall" "$cpu" \
    "$(awk -v c="$cpu" -v w="$wall" 'BEGIN { printf (w > 0 ? "%.2f%%" : "-"), 100 * c / w }')" \
    "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')" "$check"
}
echo
echo "live HLS, ${seconds} s of 720p at real time (target: twk under 1% of a core)"
printf '%-8s %9s %9s %9s %10s  %s\n' tool "wall s" "CPU s" "CPU/wall" "peak MiB" check
[ "$twk_status" = 0 ] || echo "(twk exited with $twk_status: $(tail -1 "$work/twk.log"))"
report twk "$work/twk.time" "$work/out/index.ts"
report ffmpeg "$work/ffmpeg.time" "$work/peer/index.ts"
