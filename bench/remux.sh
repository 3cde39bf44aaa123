#!/usr/bin/env bash
# bench/remux.sh: remuxes a long synthetic stream, delivered as separate fragmented-MP4 video and
# audio tracks (HLS fMP4 init and segment files), with our remux and with
#   ffmpeg -i video.mp4 -i audio.mp4 -c copy out.mp4
# on the same fragments (each track's init and segments joined into one file), and prints wall
# time, CPU time (user + system) and peak memory (maximum resident set) as /usr/bin/time -v
# reports them, with the ratios to our remux. Before each run the inputs are read once, so both
# tools find them in the page cache, and dirty pages are written back.
#
# The stream: a short H.264 + AAC encode of ffmpeg's testsrc2 and sine sources, looped with
# -stream_loop until the fragments hold about BENCH_REMUX_MIB MiB (default 1024).
# BENCH_RUNS (default 2) runs each tool that many times, alternating; each run is a row.
# A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

target_mib=${BENCH_REMUX_MIB:-1024}
runs=${BENCH_RUNS:-2}
for tool in ffmpeg ffprobe /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

# --- our remux, built from the release tree ---
source bench/common.sh
bench_build twk_mp4
work=$(mktemp -d /tmp/twk-bench-remux-XXXXXX)
trap 'rm -rf "$work"' EXIT
c++ -std=c++20 -O2 -I"$root" bench/remux_main.cpp build/release/media/libtwk_mp4.a -o "$work/remux"

# --- the stream ---
# 10 s of 1280x720 video at 8 Mbit/s and 128 kbit/s audio is about 10 MiB; loop it to the size.
clip_s=10
loops=$(( (target_mib + 9) / 10 ))
echo "bench: encoding a ${clip_s} s clip and looping it ${loops} times (about ${target_mib} MiB)" >&2
ffmpeg -v error -f lavfi -i "testsrc2=size=1280x720:rate=30" -t "$clip_s" -c:v libx264 -preset ultrafast \
  -b:v 8M -maxrate 8M -bufsize 16M -g 60 -pix_fmt yuv420p "$work/clip_v.mp4"
ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$clip_s" -c:a aac -b:a 128k "$work/clip_a.mp4"
mkdir -p "$work/parts"
for track in v a; do
  ffmpeg -v error -stream_loop $((loops - 1)) -i "$work/clip_$track.mp4" -c copy -f hls -hls_segment_type fmp4 \
    -hls_time 4 -hls_playlist_type vod -hls_fmp4_init_filename "${track}_init.mp4" \
    -hls_segment_filename "$work/parts/${track}_%06d.m4s" "$work/parts/$track.m3u8"
  find "$work/parts" -name "${track}_*.m4s" | sort >"$work/$track.list"
  # The same fragments as one file per track, for ffmpeg.
  cat "$work/parts/${track}_init.mp4" $(cat "$work/$track.list") >"$work/$track.mp4"
done
in_mib=$(du -cm "$work/parts" | tail -1 | cut -f1)
echo "$(wc -l <"$work/v.list") video and $(wc -l <"$work/a.list") audio segments, ${in_mib} MiB of fragments; $(nproc) cores"
echo "$(ffmpeg -version | head -1 | cut -d' ' -f1-3)"

# --- one measured run: leaves "wall cpu peak_kib ok|BAD" in $work/result ---
run_tool() {
  local tool=$1 out=$work/out.mp4 status=0 cmd
  rm -f "$out"
  case "$tool" in
    twk) cmd=("$work/remux" "$work/parts/v_init.mp4" "$work/v.list" "$work/parts/a_init.mp4" "$work/a.list" "$out") ;;
    ffmpeg) cmd=(ffmpeg -v error -y -i "$work/v.mp4" -i "$work/a.mp4" -map 0:v -map 1:a -c copy "$out") ;;
  esac
  cat "$work"/parts/* "$work/v.mp4" "$work/a.mp4" >/dev/null
  # The previous run's output is written back now, not during this run.
  sync
  /usr/bin/time -v -o "$work/time.txt" "${cmd[@]}" >"$work/tool.log" 2>&1 || status=$?
  local check=ok
  local streams
  streams=$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$out" 2>/dev/null | tr '\n' ' ')
  if [ "$status" != 0 ] || [ "$streams" != "h264 aac " ]; then check=BAD; fi
  bench_result "$check"
  rm -f "$out"
}

label() {
  case "$1" in
    twk) echo "twk remux_tracks" ;;
    ffmpeg) echo "ffmpeg -c copy" ;;
  esac
}

echo
printf '%-18s %9s %9s %10s %9s %9s %9s  %s\n' tool "wall s" "CPU s" "peak MiB" "wall/twk" "CPU/twk" "mem/twk" check
reference=""
for ((r = 1; r <= runs; r++)); do
  for tool in twk ffmpeg; do
    run_tool "$tool"
    read -r wall cpu rss check <"$work/result"
    if [ "$tool" = twk ]; then reference="$wall $cpu $rss"; fi
    read -r rw rc rm <<<"$reference"
    awk -v t="$(label "$tool")" -v w="$wall" -v c="$cpu" -v m="$rss" -v rw="$rw" -v rc="$rc" -v rm="$rm" \
      -v k="$check" 'function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
      BEGIN { printf "%-18s %9.2f %9.2f %10.1f %9s %9s %9s  %s\n", t, w, c, m / 1024, ratio(w, rw), ratio(c, rc), ratio(m, rm), k }'
  done
done
echo "ratios are to the twk row of the same run"
