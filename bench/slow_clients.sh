#!/usr/bin/env bash
# bench/slow_clients.sh: how quickly `twk serve` answers /ping while many local connections
# dribble request heads at it (one byte a second each, never finishing). Prints the /ping
# round-trip times with no crowd and with the crowd, and the server's peak memory.
#   CLIENTS=1000   slow connections held open
#   PINGS=20       /ping requests timed in each phase (the median and the worst are reported)
# Target: /ping within 50 ms while the crowd is there. A benchmark, not a test.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
clients=${CLIENTS:-1000}
pings=${PINGS:-20}
if [ -z "${BENCH_NO_SETUP:-}" ]; then bash scripts/setup.sh; fi
bench_build twk
work=$(mktemp -d)
trap 'kill $server 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
ulimit -n 8192
TWK_CONTROL_PORT=$port XDG_STATE_HOME="$work/state" /usr/bin/time -v -o "$work/time.txt" \
  build/release/cli/twk serve -d "$work" >"$work/serve.log" 2>&1 &
server=$!
/usr/bin/python3 - "$port" "$clients" "$pings" <<'PY'
import socket, statistics, sys, time
port, clients, pings = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
deadline = time.monotonic() + 10
while True:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close(); break
    except OSError:
        if time.monotonic() > deadline: sys.exit("bench: twk serve did not start")
        time.sleep(0.05)
def ping():
    start = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(b"GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    data = b""
    while True:
        chunk = s.recv(4096)
        if not chunk: break
        data += chunk
    s.close()
    ok = data.endswith(b"ok")
    return (time.monotonic() - start) * 1000, ok
def phase(name):
    times = []
    for _ in range(pings):
        ms, ok = ping()
        if not ok: print(f"{name}: /ping failed"); return
        times.append(ms)
    print(f"{name}: /ping median {statistics.median(times):.2f} ms, worst {max(times):.2f} ms")
phase("no crowd")
crowd = []
for i in range(clients):
    s = socket.socket(); s.setblocking(False)
    try: s.connect(("127.0.0.1", port))
    except BlockingIOError: pass
    crowd.append(s)
time.sleep(0.5)
for s in crowd:
    try: s.send(b"G")
    except OSError: pass
phase(f"{clients} slow heads")
for s in crowd: s.close()
PY
# GNU time ignores SIGINT itself: the signal goes to the server it watches.
pkill -INT -P "$server" || true
wait "$server" || true
bench_result "-"
read -r _ _ rss _ <"$work/result"
echo "twk serve peak memory: $((rss / 1024)) MiB"
