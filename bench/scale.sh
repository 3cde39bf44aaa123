#!/usr/bin/env bash
# bench/scale.sh: what a long task list costs `twk serve` while it downloads.
# An nginx on loopback serves three large files; `twk serve -j 3` downloads them, each limited to
# 1 MiB/s by its own bandwidth limit, while the list also holds TASKS queued tasks added through
# POST /start. Run once
# with SMALL tasks and once with TASKS tasks; each time twk's CPU (user + system, from
# /proc/PID/stat) is measured over WINDOW seconds, first with no client and then with CLIENTS
# WebSocket clients reading the status feed. Prints the time the adds took, the CPU in percent
# of one core, and the ratio of the large list's CPU to the small one's (lower is better).
#
#   TASKS=10000   the large list
#   SMALL=10      the small list (3 of them downloading)
#   WINDOW=10     seconds of CPU measured per case
#   CLIENTS=1     WebSocket clients reading the feed at once (a status page and a popup: 2)
#   TWK_BIN=...   another twk to measure (an older build, say) instead of building this one
# A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tasks=${TASKS:-10000}
small=${SMALL:-10}
window=${WINDOW:-10}
clients=${CLIENTS:-1}

source bench/common.sh
if [ -z "${BENCH_NO_SETUP:-}" ]; then
  bash scripts/setup.sh
fi
twk=${TWK_BIN:-}
bench_nginx_work scale
serve_pid=
stop_serve() {
  if [ -n "$serve_pid" ]; then
    kill -INT "$serve_pid" 2>/dev/null || true
    wait "$serve_pid" 2>/dev/null || true
    serve_pid=
  fi
}
bench_at_exit stop_serve
mkdir -p "$work/www/slow"
# Sparse files: nginx reads zeros, twk's own bandwidth limit keeps the three downloads going all
# along.
for i in 1 2 3; do truncate -s 2G "$work/www/slow/big$i.bin"; done
loopback_nginx_start "$work/www" "$work/nginx"
base=http://127.0.0.1:$NGINX_PORT

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# The client side: adds tasks through /start, and reads the WebSocket feed.
cat >"$work/client.py" <<'PY'
import base64, http.client, json, os, socket, sys, time

port, token = int(sys.argv[2]), sys.argv[3]

def start(body):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    c.request("POST", "/start", json.dumps(body),
              {"Authorization": "Bearer " + token, "Content-Type": "application/json"})
    r = c.getresponse()
    answer = r.read()
    c.close()
    if r.status != 200:
        sys.exit("start failed: %d %s" % (r.status, answer))

if sys.argv[1] == "add":
    base, count, folder = sys.argv[4], int(sys.argv[5]), sys.argv[6]
    for i in range(1, 4):
        start({"url": "%s/slow/big%d.bin" % (base, i), "connections": 2, "bandwidthLimit": 1 << 20})
    began = time.monotonic()
    for i in range(count - 3):
        # Never fetched while -j 3 keeps the three above running: a list of queued tasks.
        start({"url": "%s/queued/file%05d.bin" % (base, i)})
    print("%.2f" % (time.monotonic() - began))
elif sys.argv[1] == "ws":
    seconds = float(sys.argv[4])
    s = socket.create_connection(("127.0.0.1", port))
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(("GET /ws?token=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
               % (token, port, key)).encode())
    s.settimeout(1)
    end = time.monotonic() + seconds
    received = 0
    while time.monotonic() < end:
        try:
            piece = s.recv(1 << 20)
        except socket.timeout:
            continue
        if not piece:
            break
        received += len(piece)
    print(received)
PY

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# cpu_percent SECONDS: twk's CPU over that many seconds, in percent of one core.
cpu_percent() {
  local hz before after
  hz=$(getconf CLK_TCK)
  before=$(cpu_ticks "$serve_pid")
  sleep "$1"
  after=$(cpu_ticks "$serve_pid")
  awk -v a="$after" -v b="$before" -v hz="$hz" -v s="$1" 'BEGIN { printf "%.1f", (a - b) * 100 / hz / s }'
}

# run_case COUNT: prints "add_seconds cpu_percent cpu_percent_with_ws"
run_case() {
  local count=$1 port state out
  port=$(free_port)
  state=$work/state-$count
  out=$work/out-$count
  mkdir -p "$state" "$out"
  XDG_STATE_HOME=$state TWK_CONTROL_PORT=$port TWK_PRINT_TOKEN=1 \
    "$twk" serve -j 3 -d "$out" >"$work/serve-$count.log" 2>&1 &
  serve_pid=$!
  local token="" i
  for i in $(seq 1 200); do
    token=$(sed -n 's/.*bearer token: //p' "$work/serve-$count.log")
    [ -n "$token" ] && break
    sleep 0.05
  done
  [ -n "$token" ] || { echo "bench: twk serve did not start" >&2; cat "$work/serve-$count.log" >&2; exit 1; }
  local add_s cpu ws_cpu
  add_s=$(python3 "$work/client.py" add "$port" "$token" "$base" "$count" "$out")
  sleep 2 # the journal catches up with the adds
  cpu=$(cpu_percent "$window")
  local ws_pids=() c
  for c in $(seq 1 "$clients"); do
    python3 "$work/client.py" ws "$port" "$token" "$((window + 1))" >"$work/ws-$count-$c.txt" &
    ws_pids+=($!)
  done
  sleep 0.5
  ws_cpu=$(cpu_percent "$window")
  wait "${ws_pids[@]}" || true
  stop_serve
  du -sh "$out" >"$work/out-size-$count.txt"; rm -rf "$out" "$state"
  echo "$add_s $cpu $ws_cpu"
}

echo "twk $("$twk" version | cut -d' ' -f2); $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); 3 downloads limited to 1 MiB/s each, ${window} s per figure, $clients WebSocket client(s)"
read -r small_add small_cpu small_ws < <(run_case "$small")
read -r large_add large_cpu large_ws < <(run_case "$tasks")
printf '%-8s %12s %10s %14s\n' tasks "adds (s)" "CPU %" "CPU % with WS"
printf '%-8s %12s %10s %14s\n' "$small" "$small_add" "$small_cpu" "$small_ws"
printf '%-8s %12s %10s %14s\n' "$tasks" "$large_add" "$large_cpu" "$large_ws"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo
echo "CPU ratio, $tasks vs $small tasks: $(ratio "$large_cpu" "$small_cpu") (WebSocket feed: $(ratio "$large_ws" "$small_ws"))"
echo "$tasks adds through /start: $large_add s; load now $(cut -d' ' -f1-3 /proc/loadavg)"
