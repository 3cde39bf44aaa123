#!/usr/bin/env bash
# build.sh KIND: configures and builds one build tree under build/KIND.
#   release  optimised, for running and benchmarks
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer, for the test suite
#   tsan     ThreadSanitizer, for the threaded tests
#   fuzz     clang with libFuzzer, for fuzz/
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
case "$kind" in
  release) args=(-DCMAKE_BUILD_TYPE=Release -DTWK_TESTS=OFF) ;;
  asan) args=(-DCMAKE_BUILD_TYPE=Debug -DTWK_SANITIZE=address) ;;
  tsan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTWK_SANITIZE=thread) ;;
  fuzz) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTWK_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: build.sh release|asan|tsan|fuzz" >&2; exit 2 ;;
esac
if [ ! -f "build/$kind/build.ninja" ]; then
  cmake -S . -B "build/$kind" -G Ninja "${args[@]}" >/dev/null
fi
cmake --build "build/$kind" -j "$(nproc)"
