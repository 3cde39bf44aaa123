# Sourced by the bench scripts (from the repository's root): building our side, and reading
# what /usr/bin/time -v reported.

# bench_need PACKAGE...: installs the Debian packages among these that are missing (the peer
# tools a bench compares with; never part of the set-up the tests need).
bench_need() {
  local need=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
  done
  if [ ${#need[@]} -gt 0 ]; then
    local sudo=""
    if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
    echo "bench: installing ${need[*]}" >&2
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
  fi
}

# bench_build TARGET: configures the release tree once (the programs only, no tests) and builds
# TARGET in it.
bench_build() {
  if [ ! -f build/release/build.ninja ]; then
    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTWK_TESTS=OFF >/dev/null
  fi
  cmake --build build/release --target "$1" >/dev/null
}

# bench_result CHECK: turns $work/time.txt (/usr/bin/time -v) into $work/result, one line:
# wall seconds, CPU seconds (user + system), peak resident KiB, CHECK.
bench_result() {
  awk -v check="$1" '
    /Elapsed \(wall clock\)/ { n = split($NF, p, ":"); wall = 0; for (i = 1; i <= n; i++) wall = wall * 60 + p[i] }
    /User time/ { user = $NF }
    /System time/ { sys = $NF }
    /Maximum resident set size/ { rss = $NF }
    END { printf "%.2f %.2f %d %s\n", wall, user + sys, rss, check }' "$work/time.txt" >"$work/result"
}

# bench_require TOOL...: stops the bench when one of the tools is not on PATH.
bench_require() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
  done
}

# bench_nginx_work NAME: what every bench against our loopback nginx starts with. Sets $twk to the
# release build of twk (built here unless the script set $twk already), loads
# scripts/loopback_nginx.sh and makes $work, a fresh /tmp/twk-bench-NAME-XXXXXX. When the script
# ends, the steps added with bench_at_exit run, then nginx stops and $work goes (BENCH_KEEP=1 keeps
# it).
bench_nginx_work() {
  if [ -z "${twk:-}" ]; then
    bench_build twk
    twk=$root/build/release/cli/twk
  fi
  source scripts/loopback_nginx.sh
  work=$(mktemp -d "/tmp/twk-bench-$1-XXXXXX")
  bench_exit_steps=()
  trap bench_exit EXIT
}

# bench_at_exit COMMAND: runs COMMAND when the script ends, before nginx stops (the last added
# first).
bench_at_exit() { bench_exit_steps=("$1" "${bench_exit_steps[@]}"); }

bench_exit() {
  local step
  for step in "${bench_exit_steps[@]}"; do eval "$step" || true; done
  loopback_nginx_stop
  [ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"
}
