#!/usr/bin/env bash
# bench/https.sh: one file over HTTPS from an nginx on loopback, twk -x1 against curl, run in
# pairs (twk, then curl, RUNS times) so that both see the same machine. Prints every run's wall
# time, user and system CPU (as /usr/bin/time reports them), then the medians and the ratios of
# twk's medians to curl's (lower is better). Every copy is compared with the original.
#
#   SIZE_MIB=1024        file size
#   RUNS=5               pairs per protocol
#   PROTOCOLS="TLSv1.3 TLSv1.2"   what nginx offers, one row each
#   TWK_ARGS="-x 1"      twk's options (-x 16 to see the segmented path)
#   TWK_TLS_LIBRARY_RECORDS=1 (exported) has mbedTLS read TLS 1.3 records too, for comparison
# The server's certificate is an ECDSA P-256 one from a CA made for the run; both tools trust
# that CA (twk through TWK_CA_FILE, curl through --cacert). A benchmark, not a test: no figure
# here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

size=${SIZE_MIB:-1024}
runs=${RUNS:-5}
protocols=${PROTOCOLS:-TLSv1.3 TLSv1.2}
twk_args=${TWK_ARGS:--x 1}

source bench/common.sh
if [ -z "${BENCH_NO_SETUP:-}" ]; then
  bash scripts/setup.sh
  bench_need curl time
fi
bench_nginx_work https
mkdir -p "$work/www" "$work/out" "$work/pki"

# --- a CA and a server certificate for 127.0.0.1 ---
pki=$work/pki
ec="ec -pkeyopt ec_paramgen_curve:P-256"
openssl req -x509 -newkey $ec -nodes -keyout "$pki/ca.key" -out "$pki/ca.crt" -days 2 \
  -subj '/CN=Tarnwick Bench CA' -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign >/dev/null 2>&1
printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$pki/server.ext"
openssl req -new -newkey $ec -nodes -keyout "$pki/server.key" -out "$pki/server.csr" -subj /CN=localhost >/dev/null 2>&1
openssl x509 -req -in "$pki/server.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial -days 2 \
  -out "$pki/server.crt" -extfile "$pki/server.ext" >/dev/null 2>&1
chmod 755 "$pki"
chmod 644 "$pki"/*

echo "bench: generating ${size} MiB" >&2
head -c $((size * 1024 * 1024)) /dev/urandom >"$work/www/f.bin"

# One TLS server per protocol, beside the plain one loopback_nginx_start makes.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
servers=""
declare -A port_of
for protocol in $protocols; do
  port=$(free_port)
  port_of[$protocol]=$port
  servers+="
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $pki/server.crt;
    ssl_certificate_key $pki/server.key;
    ssl_protocols $protocol;
    root $work/www;
  }"
done
loopback_nginx_start "$work/www" "$work/nginx" "" "$servers"

# run_tool TOOL URL: prints "wall user sys ok|BAD".
run_tool() {
  local tool=$1 url=$2 status=0 check=ok cmd
  rm -f "$work/out"/*
  case "$tool" in
    # shellcheck disable=SC2206
    twk) cmd=(env TWK_CA_FILE="$pki/ca.crt" "$twk" get -q $twk_args -d "$work/out" "$url") ;;
    curl) cmd=(curl -sS --cacert "$pki/ca.crt" -o "$work/out/f.bin" "$url") ;;
  esac
  /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "${cmd[@]}" >"$work/tool.log" 2>&1 || status=$?
  if [ "$status" != 0 ] || ! cmp -s "$work/www/f.bin" "$work/out/f.bin"; then check=BAD; fi
  rm -f "$work/out"/*
  echo "$(tail -1 "$work/time.txt") $check"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "twk $("$twk" version | cut -d' ' -f2) ($twk_args), $(curl --version | head -1 | cut -d' ' -f1-5); nginx $(nginx -v 2>&1 | cut -d/ -f2); $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $runs pair(s), ${size} MiB"
summary=()
for protocol in $protocols; do
  url=https://127.0.0.1:${port_of[$protocol]}/f.bin
  echo
  echo "$protocol"
  printf '%-6s %4s %8s %8s %8s %8s  %s\n' tool run "wall s" "user s" "sys s" "CPU s" check
  : >"$work/runs"
  for run in $(seq 1 "$runs"); do
    for tool in twk curl; do
      read -r wall user sys check < <(run_tool "$tool" "$url")
      printf '%-6s %4d %8.2f %8.2f %8.2f %8.2f  %s\n' "$tool" "$run" "$wall" "$user" "$sys" \
        "$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" "$check"
      echo "$tool $wall $user $sys $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" >>"$work/runs"
    done
  done
  med() { awk -v t="$1" -v c="$2" '$1 == t { print $c }' "$work/runs" | median; }
  ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
  tw=$(med twk 2) tu=$(med twk 3) ts=$(med twk 4) tc=$(med twk 5)
  cw=$(med curl 2) cu=$(med curl 3) cs=$(med curl 4) cc=$(med curl 5)
  summary+=("$protocol: twk wall $tw s CPU $tc s (user $tu, sys $ts); curl wall $cw s CPU $cc s (user $cu, sys $cs); twk/curl wall $(ratio "$tw" "$cw") CPU $(ratio "$tc" "$cc") user $(ratio "$tu" "$cu")")
done
echo
echo "medians over $runs pair(s):"
printf '  %s\n' "${summary[@]}"
