#!/usr/bin/env bash
# screenshots.sh [BUILD_DIR]: remakes the pictures in docs/ from the built app (default
# build/release) on an Xvfb of its own with openbox and a tray host, a private D-Bus session
# bus and a stand-in settings portal that asks for the dark theme. A few finished, failed and
# paused downloads are seeded into a task list of a throw-away home, and two more run from a
# slowed-down loopback nginx. Needs Xvfb, openbox, stalonetray, dbus-daemon, xdotool, ffmpeg,
# nginx and Debian's python3-dbus (scripts/setup.sh). KEEP_WORK=1 keeps the throw-away folder,
# DEBUG_LOG=FILE collects the app's standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
app=${1:-build/release}/ui/tarnwick
[ -x "$app" ] || { echo "no $app: build it first (scripts/build.sh)" >&2; exit 1; }
work=$(mktemp -d)
pids=()
# shellcheck source=scripts/loopback_nginx.sh
source scripts/loopback_nginx.sh
cleanup() {
  loopback_nginx_stop
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

# Waits up to 10 s for a command to succeed.
wait_for() {
  for _ in $(seq 100); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "timed out: $*" >&2
  return 1
}

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1200x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
wait_for test -s "$work/display"
export DISPLAY=":$(head -n1 "$work/display")"
openbox >/dev/null 2>&1 &
pids+=($!)
stalonetray --geometry 1x1+1240+0 --icon-size 24 >/dev/null 2>&1 &
pids+=($!)
dbus-daemon --session --nofork --print-address=4 --address="unix:path=$work/bus" 4>"$work/bus.address" &
pids+=($!)
wait_for test -s "$work/bus.address"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
/usr/bin/python3 tests/ui/fake_portal.py "$work/portal.log" 1 >"$work/portal.out" &
pids+=($!)
wait_for grep -q ready "$work/portal.out"

mkdir -p "$work/site"
truncate -s 67108864 "$work/site/debian-13.2.0-amd64-netinst.iso"
truncate -s 25165824 "$work/site/blender-4.5-linux-x64.tar.xz"
loopback_nginx_start "$work/site" "$work/nginx" "limit_rate 96k;"
links=("http://127.0.0.1:$NGINX_PORT/debian-13.2.0-amd64-netinst.iso"
  "http://127.0.0.1:$NGINX_PORT/blender-4.5-linux-x64.tar.xz")

export HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_STATE_HOME=$work/home/state
export XDG_DATA_HOME=$work/home/data XDG_RUNTIME_DIR=$work/run TWK_CONTROL_PORT=0
export ASAN_OPTIONS=detect_leaks=0
export TWK_ENDPOINT=http://127.0.0.1:9 # the update check asks nobody
mkdir -p "$HOME/Downloads" "$XDG_STATE_HOME/tarnwick" "$XDG_CONFIG_HOME/tarnwick" "$XDG_RUNTIME_DIR"
chmod 0700 "$XDG_RUNTIME_DIR"
dl=$HOME/Downloads
entry() { # id name state status total done
  printf '{"id":%s,"url":"https://mirror.example/%s","filename":"%s","outputPath":"%s/%s","connections":8,"method":"GET","headers":[],"postData":"","userAgent":"Tarnwick/0.9","insecure":false,"proxy":{"kind":0,"host":"","port":0,"user":"","password":""},"bandwidthLimit":0,"type":"","autoNamed":true,"state":"%s","status":"%s","total":%s,"done":%s,"supportsRange":true}' \
    "$1" "$2" "$2" "$dl" "$2" "$3" "$4" "$5" "$6"
}
# The same list before every run: what a run downloaded is gone again.
seed() {
  rm -rf "$dl" "$XDG_STATE_HOME/tarnwick"
  mkdir -p "$dl" "$XDG_STATE_HOME/tarnwick"
  truncate -s 6114656256 "$dl/ubuntu-24.04-desktop-amd64.iso"
  truncate -s 418381824 "$dl/holiday-photos.zip"
  {
    printf '{"version":1,"nextId":6,"tasks":['
    entry 1 ubuntu-24.04-desktop-amd64.iso done done 6114656256 6114656256; printf ','
    entry 2 holiday-photos.zip done done 418381824 418381824; printf ','
    entry 3 lecture-07-recording.mp4 paused paused 1887436800 1203765248; printf ','
    entry 4 dataset-2026-q3.tar.gz error 'error: HTTP 403' 0 0; printf ','
    entry 5 firmware-v2.14.bin paused paused 52428800 9437184
    printf ']}\n'
  } >"$XDG_STATE_HOME/tarnwick/tasks.json"
  chmod 0600 "$XDG_STATE_HOME/tarnwick/tasks.json"
}

# One run of the app: LANGUAGE (en or zh), the shot's path, then environment settings.
shoot() {
  local language=$1 shot=$2
  shift 2
  printf '{"Language": "%s", "LoginItemSeeded": 1}\n' "$language" \
    >"$XDG_CONFIG_HOME/tarnwick/settings.json"
  rm -f "$shot"
  seed
  env TWK_SHOT="$shot" TWK_SHOT_MS=3000 "$@" "$root/$app" "${links[@]}" >/dev/null 2>>"${DEBUG_LOG:-/dev/null}" &
  local pid=$!
  # Room for every row: the window as a person would size it.
  if [ "$#" -eq 0 ]; then
    wait_for xdotool search --onlyvisible --class tarnwick || true
    # Twice: the window manager may still be placing the window the first time.
    for _ in 1 2; do
      sleep 0.5
      xdotool search --onlyvisible --class tarnwick windowsize %@ 860 600 || true
    done
  fi
  wait_for test -s "$shot" || true
  sleep 0.5
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  [ -s "$shot" ] && echo "wrote $shot"
}

shoot en "$root/docs/main-window-dark.png"
shoot zh "$root/docs/main-window-dark-zh.png"
shoot en "$root/docs/settings-dialog.png" TWK_AUTOSTART_SETTINGS=1
shoot zh "$root/docs/settings-dialog-zh.png" TWK_AUTOSTART_SETTINGS=1

# The tray icon's tooltip: the pointer rests on the icon in the tray host, then the screen's
# corner is grabbed.
for language in en zh; do
  printf '{"Language": "%s", "LoginItemSeeded": 1}\n' "$language" \
    >"$XDG_CONFIG_HOME/tarnwick/settings.json"
  seed
  "$root/$app" "${links[@]}" >/dev/null 2>>"${DEBUG_LOG:-/dev/null}" &
  pid=$!
  sleep 4
  xdotool mousemove 1252 12
  sleep 0.3
  xdotool mousemove 1253 12
  sleep 2
  suffix=$([ "$language" = zh ] && echo -zh || true)
  ffmpeg -loglevel error -y -f x11grab -video_size 560x140 -i "$DISPLAY+720,0" -frames:v 1 \
    "$root/docs/tray-tooltip$suffix.png"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  echo "wrote docs/tray-tooltip$suffix.png"
done
