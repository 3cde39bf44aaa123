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
