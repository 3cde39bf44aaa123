#!/usr/bin/env bash
# Sets up the machine, builds the sanitizer trees and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The browser drivers of the status page and extension tests, once, before the tests that use them.
bash tests/control/browser/install.sh
bash tests/extension/browser/install.sh
bash scripts/build.sh asan
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j "$(nproc)"
# The threaded engine tests (label "threaded", tests/CMakeLists.txt) once more under ThreadSanitizer.
bash scripts/build.sh tsan
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$(nproc)" -L threaded
