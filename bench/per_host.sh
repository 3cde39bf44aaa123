#!/usr/bin/env bash
# bench/per_host.sh: the per-host connection budget. Three `twk get -x 32` downloads of one
# server at once (one twk process, -j 3) against one download of the same total size, from an
# nginx on loopback sending at most RATE per connection. From nginx's access log ($connection,
# $msec, $request_time) it counts the most connections open to the server at any moment (each
# connection from the start of its first request to the end of its last): it must never exceed
# 32 (twk's default budget). It prints both wall times and their ratio (three-file run over
# one-file run; 1.10 would be 10 % slower).
#
#   SIZE=256     MiB per file of the three-file run (the single file is three times that)
#   RATE=4m      nginx's limit_rate per connection ("" for none)
#   RUNS=3
# A benchmark, not a test: nothing here passes or fails but the connection count.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
size=${SIZE:-256}
rate=${RATE-4m}
runs=${RUNS:-3}

if [ -z "${BENCH_NO_SETUP:-}" ]; then bash scripts/setup.sh; fi
source bench/common.sh
bench_nginx_work per-host
mkdir -p "$work/www" "$work/out"
for name in a b c; do head -c "$((size << 20))" /dev/urandom >"$work/www/$name.bin"; done
cat "$work/www/a.bin" "$work/www/b.bin" "$work/www/c.bin" >"$work/www/all.bin"
log=$work/access.log
limit=""
[ -n "$rate" ] && limit="limit_rate $rate;"
loopback_nginx_start "$work/www" "$work/nginx" "access_log $log perhost; $limit" \
  "log_format perhost '\$connection \$msec \$request_time';"
base=http://127.0.0.1:$NGINX_PORT

# The most connections open at once in the log lines added since line $1.
most_connections() {
  tail -n +"$(($1 + 1))" "$log" | awk '
    { start = $2 - $3; if (!($1 in first) || start < first[$1]) first[$1] = start
      if (!($1 in last) || $2 > last[$1]) last[$1] = $2 }
    END { for (c in first) { print first[c], 1; print last[c], -1 }
    }' | sort -k1,1n -k2,2n | awk '{ open += $2; if (open > most) most = open } END { print most + 0 }'
}

# run NAME URLS...: wall seconds and the most connections, into $work/NAME.runs
run() {
  local name=$1; shift
  rm -rf "$work/out"; mkdir -p "$work/out"
  local before; before=$(wc -l <"$log")
  local start end
  start=$(date +%s.%N)
  "$twk" get -q --no-proxy -x 32 -j 3 -d "$work/out" "$@"
  end=$(date +%s.%N)
  local most; most=$(most_connections "$before")
  echo "$(echo "$end - $start" | bc) $most" >>"$work/$name.runs"
  for url in "$@"; do cmp -s "$work/out/${url##*/}" "$work/www/${url##*/}" || { echo "bench: ${url##*/} differs" >&2; exit 1; }; done
}

for i in $(seq 1 "$runs"); do
  run three "$base/a.bin" "$base/b.bin" "$base/c.bin"
  run one "$base/all.bin"
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
three=$(cut -d' ' -f1 "$work/three.runs" | median)
one=$(cut -d' ' -f1 "$work/one.runs" | median)
most=$(cut -d' ' -f2 "$work/three.runs" | sort -n | tail -1)
echo "three files of $size MiB at once: median ${three} s, most connections to the server: $most"
echo "one file of $((3 * size)) MiB:        median ${one} s"
echo "ratio three/one: $(echo "scale=2; $three / $one" | bc)"
if [ "$most" -gt 32 ]; then
  echo "bench: more than 32 connections to one server ($most)" >&2
  exit 1
fi
