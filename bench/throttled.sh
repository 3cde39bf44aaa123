#!/usr/bin/env bash
# bench/throttled.sh: twk -x32 against aria2c -x16 on files served by an nginx on loopback that
# sends at most 2 MiB/s per connection, in the two ways nginx throttles:
#   burst     limit_rate 2m with the default sendfile chunk: each connection gets its second's
#             worth at once, then waits (bursts of up to 2 MiB)
#   chunk64k  limit_rate 2m with sendfile_max_chunk 64k: the same rate in 64 KiB pieces
#   none      no limit (for the tail below: the disk, not the network, is then the limit)
# Each download is timed (wall clock, until the tool exits), its copy compared with the original,
# and the bytes nginx sent for it counted from the access log ($bytes_sent of every request,
# headers included): "fetched" is that sum over the file's size, 1.00 meaning nothing was
# fetched twice. "tail" is the time from the end of the last request (nginx's $msec) to the
# tool's exit: what the final flush, the clean-up and the exit cost after the last byte.
# Per scenario it prints every run, then the medians and the ratio of twk's median wall to
# aria2c's (lower is better).
#
#   RUNS=5            runs per tool and scenario (RUNS=1 for a quick look)
#   SIZES="256 1024"  file sizes in MiB
#   THROTTLES="burst chunk64k"   (add "none" for unthrottled runs)
#   TOOLS="twk32 aria2"
# A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

runs=${RUNS:-5}
sizes=${SIZES:-256 1024}
throttles=${THROTTLES:-burst chunk64k}
tools=${TOOLS:-twk32 aria2}

if [ -z "${BENCH_NO_SETUP:-}" ]; then
  bash scripts/setup.sh
  command -v aria2c >/dev/null || { echo "bench: aria2c is missing (apt-get install aria2)" >&2; exit 1; }
fi
bash scripts/build.sh release >/dev/null
twk=$root/build/release/cli/twk
source bench/common.sh
bench_nginx_work throttled
mkdir -p "$work/www/burst" "$work/www/chunk64k" "$work/www/none" "$work/out"

for size in $sizes; do
  echo "bench: generating ${size} MiB" >&2
  head -c $((size * 1024 * 1024)) /dev/urandom >"$work/www/burst/f$size.bin"
  ln "$work/www/burst/f$size.bin" "$work/www/chunk64k/f$size.bin"
  ln "$work/www/burst/f$size.bin" "$work/www/none/f$size.bin"
done

log=$work/access.log
loopback_nginx_start "$work/www" "$work/nginx" "
    access_log $log twkbench;
    location /burst/ { limit_rate 2m; }
    location /chunk64k/ { limit_rate 2m; sendfile_max_chunk 64k; }" \
  "log_format twkbench '\$msec \$status \$bytes_sent';"
base=http://127.0.0.1:$NGINX_PORT

# run_tool TOOL URL SIZE_BYTES: prints "wall fetched tail requests ok|BAD".
run_tool() {
  local tool=$1 url=$2 size=$3 name out cmd status=0 check=ok start end
  name=${url##*/}
  out=$work/out
  rm -f "$out"/*
  case "$tool" in
    twk32) cmd=("$twk" get -q -x 32 -d "$out" "$url") ;;
    aria2) cmd=(aria2c -x16 -s16 -k1M -q --allow-overwrite=true -d "$out" -o "$name" "$url") ;;
    *) echo "bench: unknown tool $tool" >&2; exit 2 ;;
  esac
  : >"$log"
  start=$(date +%s.%N)
  "${cmd[@]}" >"$work/tool.log" 2>&1 || status=$?
  end=$(date +%s.%N)
  if [ "$status" != 0 ] || ! cmp -s "$work/www/burst/$name" "$out/$name"; then check=BAD; fi
  rm -f "$out"/*
  awk -v start="$start" -v end="$end" -v size="$size" -v check="$check" '
    { sent += $3; n += 1; if ($1 > last) last = $1 }
    END { printf "%.2f %.3f %.2f %d %s\n", end - start, sent / size, n ? end - last : 0, n, check }' "$log"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "twk $("$twk" version | cut -d' ' -f2), $(aria2c --version | head -1), nginx $(nginx -v 2>&1 | cut -d/ -f2); $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $runs run(s) each"
summary=()
for size in $sizes; do
  for throttle in $throttles; do
    url=$base/$throttle/f$size.bin
    bytes=$((size * 1024 * 1024))
    echo
    if [ "$throttle" = none ]; then echo "$size MiB, unthrottled"; else echo "$size MiB, 2 MiB/s per connection, $throttle"; fi
    printf '%-10s %4s %8s %8s %7s %9s  %s\n' tool run "wall s" fetched "tail s" requests check
    : >"$work/runs"
    for run in $(seq 1 "$runs"); do
      for tool in $tools; do
        read -r wall fetched tail requests check < <(run_tool "$tool" "$url" "$bytes")
        printf '%-10s %4d %8.2f %8.3f %7.2f %9d  %s\n' "$tool" "$run" "$wall" "$fetched" "$tail" "$requests" "$check"
        echo "$tool $wall $fetched $tail" >>"$work/runs"
      done
    done
    line="$size MiB $throttle:"
    for tool in $tools; do
      w=$(awk -v t="$tool" '$1 == t { print $2 }' "$work/runs" | median)
      f=$(awk -v t="$tool" '$1 == t { print $3 }' "$work/runs" | median)
      tl=$(awk -v t="$tool" '$1 == t { print $4 }' "$work/runs" | median)
      line+=" $tool wall $w s fetched $f tail $tl s;"
    done
    if [[ " $tools " == *" twk32 "* && " $tools " == *" aria2 "* ]]; then
      tw=$(awk '$1 == "twk32" { print $2 }' "$work/runs" | median)
      aw=$(awk '$1 == "aria2" { print $2 }' "$work/runs" | median)
      line+=" twk/aria2 wall $(awk -v a="$tw" -v b="$aw" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
    fi
    summary+=("$line")
  done
done
echo
echo "medians over $runs run(s):"
printf '  %s\n' "${summary[@]}"
