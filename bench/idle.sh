#!/usr/bin/env bash
# bench/idle.sh: what the desktop app costs when it has little to do, on a home of its own:
#   idle      the app with TASKS finished tasks in its list and nothing running, for
#             IDLE_SECONDS: its CPU in % of one core and its peak resident memory
#             (targets: under 0.2 % and under 80 MiB with 1,000 tasks over 60 s)
#   running   RUNNING downloads from an nginx on loopback, each held to RATE (its own limit and
#             nginx's per connection), in the app and then in `twk serve`: both CPUs, the app's
#             beyond what twk serve uses for the same downloads (target: under 5 % of one core at
#             48 MiB/s together), the app's UI thread alone (the part twk serve has no
#             counterpart for, steadier than the difference of two runs), and the speeds (from
#             the bytes each process wrote)
#   inhibit   one download in the app against a fake logind on a private D-Bus bus
#             (tests/ui/fake_desktop_bus.py): from the download's start to the sleep inhibitor
#             being taken, and from its end to its release (target: each within 1 s)
# The app runs offscreen (QT_QPA_PLATFORM=offscreen) unless a display is set. Downloads are
# added through the control API (POST /start) of the app and of twk serve alike. CPU is read
# from /proc/PID/stat (user + system ticks) over each window; memory is VmHWM.
#
#   TASKS=1000  IDLE_SECONDS=60  RUNNING=3  RATE=16m (nginx limit_rate)  RUN_SECONDS=20
#   BENCH_KEEP=1 keeps the work folder (logs, homes) in /tmp
#   SCENARIOS="idle running inhibit"
# A benchmark, not a test: no figure here passes or fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tasks=${TASKS:-1000}
idle_seconds=${IDLE_SECONDS:-60}
running=${RUNNING:-3}
rate=${RATE:-16m}
run_seconds=${RUN_SECONDS:-20}
scenarios=${SCENARIOS:-idle running inhibit}

if [ -z "${BENCH_NO_SETUP:-}" ]; then
  bash scripts/setup.sh
fi
source bench/common.sh
bench_require nginx curl dbus-daemon /usr/bin/python3
bench_build tarnwick
app=$root/build/release/ui/tarnwick
bench_nginx_work idle
pids=()
stop_pids() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
bench_at_exit stop_pids

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
ticks_per_second=$(getconf CLK_TCK)
# cpu_ticks PID: user + system ticks the process has used so far.
cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
peak_kib() { awk '/VmHWM/ { print $2 }' "/proc/$1/status"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
# cpu_percent PID SECONDS: the process's CPU in % of one core over the next SECONDS; then that of
# its main thread (the app's UI thread) over the same window.
cpu_percent() {
  local before after main_before main_after
  before=$(cpu_ticks "$1")
  main_before=$(cpu_ticks "$1/task/$1")
  sleep "$2"
  after=$(cpu_ticks "$1")
  main_after=$(cpu_ticks "$1/task/$1")
  awk -v t=$((after - before)) -v m=$((main_after - main_before)) -v hz="$ticks_per_second" -v s="$2" \
    'BEGIN { printf "%.3f %.3f\n", 100 * t / hz / s, 100 * m / hz / s }'
}
# wait_for SECONDS COMMAND...: polls the command every 50 ms until it succeeds.
wait_for() {
  local until=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    [ "$(now_ms)" -lt "$until" ] || return 1
    sleep 0.05
  done
}

# new_home NAME: a home with its own config, state, runtime folder and download folder.
new_home() {
  local home=$work/$1
  mkdir -p "$home/config/tarnwick" "$home/state/tarnwick" "$home/run" "$home/dl"
  chmod 700 "$home/run"
  printf '{"DownloadDir": "%s", "LoginItemSeeded": 1, "AutoUpdateCheck": 0, "DownloadsAtOnce": 10}\n' \
    "$home/dl" >"$home/config/tarnwick/settings.json"
  echo "$home"
}
# start_app HOME PORT [ENV...]: the app on HOME with its control server on PORT; sets app_pid.
start_app() {
  local home=$1 port=$2
  shift 2
  env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" XDG_DATA_HOME="$home/data" \
    XDG_RUNTIME_DIR="$home/run" TWK_CONTROL_PORT="$port" TWK_PRINT_TOKEN=1 \
    QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-$([ -n "${DISPLAY:-}" ] && echo xcb || echo offscreen)}" "$@" \
    "$app" >"$home/app.log" 2>&1 &
  app_pid=$!
  pids+=("$app_pid")
  wait_for 30 curl -sf "http://127.0.0.1:$port/ping" -o /dev/null || { echo "bench: the app did not start" >&2; cat "$home/app.log" >&2; exit 1; }
  token=$(sed -n 's/.*bearer token: //p' "$home/app.log")
}
stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }
# add PORT URL [LIMIT]: one download with one connection through the control API, with $token,
# held to LIMIT bytes per second when given.
add() {
  local limit=${3:+,\"bandwidthLimit\":$3}
  curl -sf -X POST -H "Authorization: Bearer $token" -H 'Content-Type: application/json' \
    --data "{\"url\":\"$2\",\"connections\":1$limit}" "http://127.0.0.1:$1/start" -o /dev/null ||
    { echo "bench: adding $2 failed" >&2; exit 1; }
}

if [[ " $scenarios " == *" idle "* ]]; then
  home=$(new_home idle)
  /usr/bin/python3 - "$home" "$tasks" <<'PY'
import json, os, sys
home, n = sys.argv[1], int(sys.argv[2])
entries = []
for i in range(1, n + 1):
    path = "%s/dl/file-%04d.bin" % (home, i)
    with open(path, "wb") as f:
        f.write(b"x" * 1000)
    entries.append({"id": i, "url": "http://127.0.0.1:9/file-%04d.bin" % i, "filename": os.path.basename(path),
                    "outputPath": path, "connections": 8, "method": "GET", "headers": [], "postData": "",
                    "userAgent": "Mozilla/5.0", "insecure": False,
                    "proxy": {"kind": 0, "host": "", "port": 0, "user": "", "password": ""},
                    "bandwidthLimit": 0, "type": "", "autoNamed": True, "checksum": "", "liveFromStart": False,
                    "skipBadSegments": False, "state": "done", "status": "done", "total": 1000, "done": 1000,
                    "supportsRange": True})
path = home + "/state/tarnwick/tasks.json"
with open(path, "w") as f:
    json.dump({"version": 1, "tasks": entries}, f)
os.chmod(path, 0o600)
PY
  start_app "$home" "$(free_port)"
  sleep 5 # start-up settles: the list is loaded and drawn
  [ ! -e "$home/state/tarnwick/tasks.json.bad" ] || { echo "bench: the app set the journal aside" >&2; exit 1; }
  listed=$(/usr/bin/python3 -c 'import json, sys; print(sum(t["state"] == "done" for t in json.load(open(sys.argv[1]))["tasks"]))' \
    "$home/state/tarnwick/tasks.json")
  read -r cpu _ < <(cpu_percent "$app_pid" "$idle_seconds")
  echo "idle     $listed finished tasks, ${idle_seconds} s: app CPU $cpu % of one core, peak RSS $(( $(peak_kib "$app_pid") / 1024 )) MiB"
  stop "$app_pid"
fi

if [[ " $scenarios " == *" running "* ]]; then
  mkdir -p "$work/www"
  # Sparse files long enough to outlast the window at RATE (the copies take real disk space).
  rate_bytes=$(awk -v r="$rate" 'BEGIN { n = r + 0; u = tolower(substr(r, length(r)));
    if (u == "k") n *= 1024; else if (u == "m") n *= 1048576; else if (u == "g") n *= 1073741824; print int(n) }')
  for i in $(seq 1 "$running"); do
    truncate -s $((rate_bytes * (run_seconds + 20))) "$work/www/big$i.bin"
  done
  loopback_nginx_start "$work/www" "$work/nginx" "limit_rate $rate;"
  base=http://127.0.0.1:$NGINX_PORT
  # Bytes the process has written so far: the downloads' data (the kernel's count, which goes on
  # whatever the connections do; a sum over the open sockets lost the bytes of every connection
  # that closed within the window, and awk printed sums past 2^31 as 2.1e+09). Read as text:
  # bash's arithmetic is 64-bit.
  read_bytes() { sed -n 's/^wchar: //p' "/proc/$1/io"; }
  # measure PID PORT: adds the downloads, each held to RATE whatever connections the engine
  # opens (nginx's limit_rate holds one connection), lets them ramp up, prints the CPU % and MiB/s.
  measure() {
    local i cpu main before after
    for i in $(seq 1 "$running"); do add "$2" "$base/big$i.bin" "$rate_bytes"; done
    sleep 3
    before=$(read_bytes "$1")
    read -r cpu main < <(cpu_percent "$1" "$run_seconds")
    after=$(read_bytes "$1")
    echo "$cpu $main $(awk -v b=$((after - before)) -v s="$run_seconds" 'BEGIN { printf "%.1f", b / s / 1048576 }')"
  }
  home=$(new_home running-app)
  port=$(free_port)
  start_app "$home" "$port"
  read -r app_cpu app_ui app_speed < <(measure "$app_pid" "$port")
  stop "$app_pid"
  home=$(new_home running-serve)
  port=$(free_port)
  env HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" TWK_CONTROL_PORT="$port" \
    TWK_PRINT_TOKEN=1 "$twk" serve -d "$home/dl" -j 10 >"$home/serve.log" 2>&1 &
  serve_pid=$!
  pids+=("$serve_pid")
  wait_for 30 curl -sf "http://127.0.0.1:$port/ping" -o /dev/null || { echo "bench: twk serve did not start" >&2; exit 1; }
  token=$(sed -n 's/.*bearer token: //p' "$home/serve.log")
  read -r serve_cpu _ serve_speed < <(measure "$serve_pid" "$port")
  stop "$serve_pid"
  echo "running  $running downloads, ${run_seconds} s: app $app_cpu % at $app_speed MiB/s, twk serve $serve_cpu % at $serve_speed MiB/s," \
    "app's extra $(awk -v a="$app_cpu" -v s="$serve_cpu" 'BEGIN { printf "%.2f", a - s }') % of one core" \
    "(its UI thread alone: $app_ui %)"
  loopback_nginx_stop
fi

if [[ " $scenarios " == *" inhibit "* ]]; then
  home=$(new_home inhibit)
  dbus-daemon --session --nofork --print-address=1 >"$work/bus.address" 2>"$work/bus.log" &
  pids+=($!)
  wait_for 10 grep -q . "$work/bus.address"
  bus=$(head -n 1 "$work/bus.address")
  DBUS_SESSION_BUS_ADDRESS=$bus /usr/bin/python3 tests/ui/fake_desktop_bus.py "$work/calls.log" >"$work/fake.log" 2>&1 &
  pids+=($!)
  wait_for 10 grep -qs '^ready' "$work/calls.log"
  mkdir -p "$work/www-inhibit"
  head -c $((24 << 20)) /dev/urandom >"$work/www-inhibit/three-seconds.bin"
  loopback_nginx_start "$work/www-inhibit" "$work/nginx-inhibit" "limit_rate 8m;"
  port=$(free_port)
  start_app "$home" "$port" DBUS_SESSION_BUS_ADDRESS="$bus" DBUS_SYSTEM_BUS_ADDRESS="$bus"
  started=$(now_ms)
  add "$port" "http://127.0.0.1:$NGINX_PORT/three-seconds.bin"
  wait_for 30 grep -q '^inhibit' "$work/calls.log"
  held=$(now_ms)
  wait_for 60 bash -c "[ \"\$(stat -c %s '$home/dl/three-seconds.bin' 2>/dev/null)\" = $((24 << 20)) ] && [ ! -e '$home/dl/three-seconds.bin.twk' ]"
  ended=$(now_ms)
  wait_for 30 grep -q '^release' "$work/calls.log"
  released=$(now_ms)
  echo "inhibit  held $((held - started)) ms after the download was added, released $((released - ended)) ms after it ended" \
    "($(grep '^inhibit' "$work/calls.log" | head -n 1 | cut -d' ' -f3-))"
  stop "$app_pid"
fi
