#!/usr/bin/env bash
# bench/run.sh: downloads the same files from an nginx on loopback with twk, aria2c, axel and
# curl, one after the other, and prints each tool's wall time, CPU time (user + system) and peak
# memory (maximum resident set) as /usr/bin/time -v reports them, with the ratios to twk -x16.
# Every copy is compared with the original.
#
# Scenarios:
#   (a) 256 MiB, nginx sending at most 2 MiB/s per connection (twk -x16 and -x32)
#   (b) 1 GiB, unthrottled
# BENCH_A_MIB and BENCH_B_MIB change the sizes; BENCH_TOOLS (default "twk16 twk32 aria2 axel
# curl") picks the rows. A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

size_a=${BENCH_A_MIB:-256}
size_b=${BENCH_B_MIB:-1024}
tools=${BENCH_TOOLS:-twk16 twk32 aria2 axel curl}

# --- tools ---
bash scripts/setup.sh
source bench/common.sh
bench_need aria2 axel curl time
bash scripts/build.sh release >/dev/null
twk=$root/build/release/cli/twk
bench_nginx_work run
mkdir -p "$work/www"

# --- one measured download ---
# run_tool TOOL URL: downloads into $work/out, leaves "wall cpu peak_kib ok|BAD" in $work/result.
run_tool() {
  local tool=$1 url=$2 name out
  name=${url##*/}
  out=$work/out
  rm -rf "$out"
  mkdir -p "$out"
  local cmd
  case "$tool" in
    twk16) cmd=("$twk" get -q -x 16 -d "$out" "$url") ;;
    twk32) cmd=("$twk" get -q -x 32 -d "$out" "$url") ;;
    aria2) cmd=(aria2c -x16 -s16 -k1M -q --allow-overwrite=true -d "$out" -o "$name" "$url") ;;
    axel) cmd=(axel -n16 -q -o "$out/$name" "$url") ;;
    curl) cmd=(curl -sS -o "$out/$name" "$url") ;;
    *) echo "bench: unknown tool $tool" >&2; exit 2 ;;
  esac
  local status=0
  /usr/bin/time -v -o "$work/time.txt" "${cmd[@]}" >"$work/tool.log" 2>&1 || status=$?
  local check=ok
  if [ "$status" != 0 ] || ! cmp -s "$work/www/$name" "$out/$name"; then check=BAD; fi
  bench_result "$check"
  rm -rf "$out"
}

# --- one scenario: every tool, then the table ---
scenario() {
  local title=$1 url=$2 reference=""
  echo
  echo "$title"
  printf '%-22s %9s %9s %10s %9s %9s %9s  %s\n' tool "wall s" "CPU s" "peak MiB" "wall/twk" "CPU/twk" "mem/twk" check
  local tool wall cpu rss check rw rc rm
  for tool in $tools; do
    run_tool "$tool" "$url"
    read -r wall cpu rss check <"$work/result"
    if [ -z "$reference" ]; then reference="$wall $cpu $rss"; fi
    read -r rw rc rm <<<"$reference"
    awk -v t="$(label "$tool")" -v w="$wall" -v c="$cpu" -v m="$rss" -v rw="$rw" -v rc="$rc" -v rm="$rm" \
      -v k="$check" 'function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
      BEGIN { printf "%-22s %9.2f %9.2f %10.1f %9s %9s %9s  %s\n", t, w, c, m / 1024, ratio(w, rw), ratio(c, rc), ratio(m, rm), k }'
  done
}

label() {
  case "$1" in
    twk16) echo "twk -x16" ;;
    twk32) echo "twk -x32" ;;
    aria2) echo "aria2c -x16 -s16 -k1M" ;;
    axel) echo "axel -n16" ;;
    curl) echo "curl" ;;
  esac
}

echo "bench: generating ${size_a} MiB and ${size_b} MiB files" >&2
head -c $((size_a * 1024 * 1024)) /dev/urandom >"$work/www/a.bin"
mkdir -p "$work/www/slow"
ln "$work/www/a.bin" "$work/www/slow/a.bin"
head -c $((size_b * 1024 * 1024)) /dev/urandom >"$work/www/b.bin"
loopback_nginx_start "$work/www" "$work/nginx" "location /slow/ { limit_rate 2m; }"
base=http://127.0.0.1:$NGINX_PORT

echo "twk $("$twk" version | cut -d' ' -f2), $(aria2c --version | head -1), $(axel --version | head -1), $(curl --version | head -1 | cut -d' ' -f1-2); $(nproc) cores"
echo "ratios are to the first row (twk -x16)"
scenario "(a) ${size_a} MiB, 2 MiB/s per connection" "$base/slow/a.bin"
scenario "(b) ${size_b} MiB, unthrottled" "$base/b.bin"

# --- FTP: the file of scenario (a), unthrottled, from pyftpdlib ---
# twk -x8 against aria2c -x8 -s8 and curl. BENCH_FTP_TOOLS (default "twk8 aria2x8 curl") picks
# the rows; an empty BENCH_TOOLS with BENCH_B_MIB=1 runs little else.
ftp_tools=${BENCH_FTP_TOOLS:-twk8 aria2x8 curl}
ftp_pid=""

ftp_bench_stop() {
  if [ -n "$ftp_pid" ]; then
    kill "$ftp_pid" 2>/dev/null || true
    wait "$ftp_pid" 2>/dev/null || true
    ftp_pid=""
  fi
}

ftp_bench_start() {
  local port
  port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  /usr/bin/python3 tests/net/ftp_server.py "$work/www" "$port" >"$work/ftp.log" 2>&1 &
  ftp_pid=$!
  for _ in $(seq 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then FTP_PORT=$port; return 0; fi
    sleep 0.05
  done
  echo "bench: pyftpdlib did not start: $(cat "$work/ftp.log")" >&2
  exit 1
}

# run_ftp_tool TOOL URL: as run_tool, for the FTP rows.
run_ftp_tool() {
  local tool=$1 url=$2 name out cmd status=0 check=ok
  name=${url##*/}
  out=$work/out
  rm -rf "$out"
  mkdir -p "$out"
  case "$tool" in
    twk8) cmd=("$twk" get -q -x 8 -d "$out" "$url") ;;
    aria2x8) cmd=(aria2c -x8 -s8 -q --allow-overwrite=true -d "$out" -o "$name" "$url") ;;
    curl) cmd=(curl -sS -o "$out/$name" "$url") ;;
    *) echo "bench: unknown FTP tool $tool" >&2; exit 2 ;;
  esac
  /usr/bin/time -v -o "$work/time.txt" "${cmd[@]}" >"$work/tool.log" 2>&1 || status=$?
  if [ "$status" != 0 ] || ! cmp -s "$work/www/$name" "$out/$name"; then check=BAD; fi
  bench_result "$check"
  rm -rf "$out"
}

ftp_label() {
  case "$1" in
    twk8) echo "twk -x8" ;;
    aria2x8) echo "aria2c -x8 -s8" ;;
    curl) echo "curl" ;;
  esac
}

ftp_scenario() {
  local url=$1 reference="" tool wall cpu rss check rw rc rm
  echo
  echo "(ftp) ${size_a} MiB from pyftpdlib, unthrottled; ratios to twk -x8"
  printf '%-22s %9s %9s %10s %9s %9s %9s  %s\n' tool "wall s" "CPU s" "peak MiB" "wall/twk" "CPU/twk" "mem/twk" check
  for tool in $ftp_tools; do
    run_ftp_tool "$tool" "$url"
    read -r wall cpu rss check <"$work/result"
    if [ -z "$reference" ]; then reference="$wall $cpu $rss"; fi
    read -r rw rc rm <<<"$reference"
    awk -v t="$(ftp_label "$tool")" -v w="$wall" -v c="$cpu" -v m="$rss" -v rw="$rw" -v rc="$rc" -v rm="$rm" \
      -v k="$check" 'function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
      BEGIN { printf "%-22s %9.2f %9.2f %10.1f %9s %9s %9s  %s\n", t, w, c, m / 1024, ratio(w, rw), ratio(c, rc), ratio(m, rm), k }'
  done
}

# The server goes down with everything else when the script ends.
bench_at_exit ftp_bench_stop
ftp_bench_start
ftp_scenario "ftp://127.0.0.1:$FTP_PORT/a.bin"
