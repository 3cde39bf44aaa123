#!/usr/bin/env bash
# fuzz.sh [SECONDS] [TARGET...]: builds the fuzz tree and runs each target (all by default) for
# SECONDS (default 60). Corpora live in fuzz/corpus/NAME (not committed); crashes stop the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
bash scripts/setup.sh
bash scripts/build.sh fuzz >/dev/null
if [ $# -eq 0 ]; then
  set -- $(find build/fuzz/fuzz -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x -printf '%f\n' | sort)
fi
for target in "$@"; do
  corpus=fuzz/corpus/$target
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/${target#fuzz_}" ] && seeds=("fuzz/seeds/${target#fuzz_}")
  echo "== $target (${seconds}s)"
  build/fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build/fuzz/$target-" "$corpus" "${seeds[@]}" 2>&1 | tail -n 3
done
