#!/usr/bin/env bash
# bench/stream.sh: downloads one HLS stream from an nginx on loopback with twk and with ffmpeg
# (and yt-dlp when it is installed), and prints each tool's wall time, CPU time and peak memory
# with the ratios to twk.
#
# The stream: 60 s of 720p testsrc2 with a sine tone, H.264/AAC in 30 MPEG-TS segments of 2 s,
# made by ffmpeg; nginx sends at most 2 MiB/s per connection. twk fetches with -x 8 (eight
# segments at once), ffmpeg and yt-dlp one segment after the other. twk's file is compared with
# the segments joined. BENCH_STREAM_SECONDS changes the length, BENCH_RATE the per-connection
# rate (nginx's limit_rate syntax). A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${BENCH_STREAM_SECONDS:-60}
rate=${BENCH_RATE:-2m}

source bench/common.sh
bench_require ffmpeg nginx /usr/bin/time
bench_nginx_work stream
mkdir -p "$work/www/hls"

echo "bench: making ${seconds} s of 720p HLS" >&2
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i "testsrc2=size=1280x720:rate=30" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$seconds" \
  -c:v libx264 -preset ultrafast -g 60 -keyint_min 60 -sc_threshold 0 -b:v 4M -c:a aac -b:a 128k \
  -f hls -hls_time 2 -hls_list_size 0 -hls_segment_filename "$work/www/hls/seg%03d.ts" \
  "$work/www/hls/index.m3u8"
cat "$work"/www/hls/seg*.ts >"$work/joined.ts"
segments=$(ls "$work"/www/hls/seg*.ts | wc -l)
size_mib=$(awk -v b="$(stat -c %s "$work/joined.ts")" 'BEGIN { printf "%.1f", b / 1048576 }')
# Small sendfile pieces, so that the limit holds from the first byte of a segment rather than
# after a burst of a whole socket buffer.
loopback_nginx_start "$work/www" "$work/nginx" "sendfile_max_chunk 64k; limit_rate $rate;"
url="http://127.0.0.1:$NGINX_PORT/hls/index.m3u8"

# run_tool TOOL: downloads into $work/out and leaves "wall cpu peak_kib check" in $work/result.
run_tool() {
  local tool=$1 out=$work/out cmd file
  rm -rf "$out"
  mkdir -p "$out"
  case "$tool" in
    twk) cmd=("$twk" get -q -x 8 -d "$out" "$url"); file=$out/index.ts ;;
    ffmpeg) cmd=(ffmpeg -nostdin -loglevel error -i "$url" -c copy -f mpegts "$out/index.ts"); file=$out/index.ts ;;
    yt-dlp) cmd=(yt-dlp -q --no-part -o "$out/index.%(ext)s" "$url"); file=$(echo "$out"/index.*) ;;
  esac
  local status=0 check=ok
  /usr/bin/time -v -o "$work/time.txt" "${cmd[@]}" >"$work/tool.log" 2>&1 || status=$?
  [ "$tool" = yt-dlp ] && file=$(ls "$out"/index.* 2>/dev/null | head -1)
  if [ "$status" != 0 ] || [ ! -s "${file:-/nonexistent}" ]; then
    check=FAILED
  elif [ "$tool" = twk ] && ! cmp -s "$file" "$work/joined.ts"; then
    check=BAD
  fi
  bench_result "$check"
}

tools="twk ffmpeg"
command -v yt-dlp >/dev/null && tools="$tools yt-dlp"
echo
echo "HLS, $segments segments, $size_mib MiB, nginx limit_rate $rate per connection"
printf '%-8s %9s %9s %10s %9s  %s\n' tool "wall s" "CPU s" "peak MiB" "twk/tool" check
twk_wall=""
for tool in $tools; do
  run_tool "$tool"
  read -r wall cpu rss check <"$work/result"
  [ -z "$twk_wall" ] && twk_wall=$wall
  ratio=$(awk -v a="$twk_wall" -v b="$wall" 'BEGIN { printf (b > 0 ? "%.2f" : "-"), a / b }')
  printf '%-8s %9s %9s %10s %9s  %s\n' "$tool" "$wall" "$cpu" "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')" \
    "$ratio" "$check"
done
command -v yt-dlp >/dev/null || echo "(yt-dlp is not installed: Debian's package would add a row)"
